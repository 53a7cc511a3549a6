#include "installer/settings_step.h"

#include "installer/host_keypair.h"
#include "settings/server/product_key.h"
#include "installer/installer_state.h"
#include "foundation/random_source.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <stdexcept>
#include <string>

namespace {

// As in main: the settings' encrypted members need the process's random source.
NoCrtRandom testRandom;

const char* const kDefaults = "Creating default Orvidex settings\n";
const char* const kGenerating = "No existing keypair found, generating new keypair\n";

void FailingGenerator(std::string& publicKey, CryptoPP::SecByteBlock&)
{
    publicKey = "half a key";
    throw std::runtime_error("no entropy today");
}

struct Outcome {
    int exitCode;  // 0 when the step returned
    std::string output;
};

// Questions are answered No: the tests run without a display.
class SettingsStepRun : public testing::Test {
protected:
    void SetUp() override
    {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune");
        installerState.force = false;
        installerState.interactive = false;
    }
    void TearDown() override
    {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune");
        installerState.force = false;
        installerState.interactive = false;
    }

    Outcome Run(KeypairGenerator generate, const std::string& settingsFile = "")
    {
        Outcome outcome = {0, ""};
        testing::internal::CaptureStdout();
        try {
            RunSettingsStep(settingsFile, generate);
        } catch (const SilentExit& e) {
            outcome.exitCode = e.code;
        } catch (const std::exception& e) {
            outcome.exitCode = -1;
            ADD_FAILURE() << e.what();
        }
        outcome.output = testing::internal::GetCapturedStdout();
        return outcome;
    }

    static void SetValue(const char* name, const std::string& bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
    }

    static void DeleteValue(const char* name)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        RegDeleteValueA(key, name);
        RegCloseKey(key);
    }

    // The value's bytes, or "(none)".
    static std::string Value(const char* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return "(none)";
        std::string data(40000, '\0');
        DWORD size = static_cast<DWORD>(data.size());
        const LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            return "(none)";
        data.resize(size);
        return data;
    }
};

TEST_F(SettingsStepRun, FailedGenerationAbortsWith120UnlessForced)
{
    const std::string aborting = std::string(kDefaults) + kGenerating +
                                 "Keypair generation failed: no entropy today, aborting\n";
    Outcome r = Run(FailingGenerator);
    EXPECT_EQ(r.exitCode, 120);
    EXPECT_EQ(r.output, aborting);
    EXPECT_EQ(Value("Settings"), "(none)");

    // Interactive: the line comes before the question, and No aborts.
    installerState.interactive = true;
    r = Run(FailingGenerator);
    EXPECT_EQ(r.exitCode, 120);
    EXPECT_EQ(r.output, aborting);
    installerState.interactive = false;

    // Forced: the settings are saved, no keypair is.
    installerState.force = true;
    r = Run(FailingGenerator);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, std::string(kDefaults) + kGenerating + "Warning: keypair generation failed: no entropy today\n");
    EXPECT_NE(Value("Settings"), "(none)");
    EXPECT_EQ(Value("Keypair"), "(none)");
}

TEST_F(SettingsStepRun, StoredKeypairIsKeptAndAnUnreadableOneReplaced)
{
    Outcome r = Run(GenerateHostKeypair);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.substr(0, std::string(kDefaults).size() + std::string(kGenerating).size()),
              std::string(kDefaults) + kGenerating);
    const std::string settings = Value("Settings"), keypair = Value("Keypair");
    ASSERT_NE(keypair, "(none)");

    // Both are read and written back as they were; the generator is not called.
    r = Run(FailingGenerator);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(Value("Settings"), settings);
    EXPECT_EQ(Value("Keypair"), keypair);

    // A stored keypair with a byte too many is not used, but kept beside it; when the step
    // then fails, the value is put back as it was and the copy removed.
    const std::string longer = keypair + '\0';
    SetValue("Keypair", longer);
    const std::string kept = "Warning: the stored value \"Keypair\" cannot be loaded (";
    r = Run(FailingGenerator);
    EXPECT_EQ(r.exitCode, 120);
    EXPECT_EQ(r.output.substr(0, kept.size()), kept);
    EXPECT_NE(r.output.find("); it is kept as \"Keypair.unreadable\"\n" + std::string(kGenerating) +
                            "Keypair generation failed: no entropy today, aborting\n"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(Value("Keypair"), longer);
    EXPECT_EQ(Value("Keypair.unreadable"), "(none)");

    // Completed, the step leaves the copy; a second unreadable value never overwrites it.
    r = Run(GenerateHostKeypair);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Value("Keypair.unreadable"), longer);
    EXPECT_NE(Value("Keypair"), longer);
    SetValue("Keypair", "x");
    r = Run(GenerateHostKeypair);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("it is kept as \"Keypair.unreadable.2\""), std::string::npos) << r.output;
    EXPECT_EQ(Value("Keypair.unreadable"), longer);
    EXPECT_EQ(Value("Keypair.unreadable.2"), "x");
}

TEST_F(SettingsStepRun, UnreadableStoredSettingsAreKeptBeforeTheDefaultsReplaceThem)
{
    ASSERT_EQ(Run(GenerateHostKeypair).exitCode, 0);
    const std::string settings = Value("Settings");
    // A message of a newer release: "Orvidex 3.32" where this one writes "Orvidex 3.31".
    std::string newer = settings;
    const std::size_t at = newer.find("Orvidex 3.31");
    ASSERT_NE(at, std::string::npos);
    newer[at + 11] = '2';
    for (const std::string& stored : {newer, settings.substr(0, settings.size() / 2)}) {
        SetValue("Settings", stored);
        DeleteValue("Settings.unreadable");
        Outcome r = Run(GenerateHostKeypair);
        EXPECT_EQ(r.exitCode, 0);
        const std::string warning = "Warning: the stored value \"Settings\" cannot be loaded (";
        EXPECT_EQ(r.output.substr(0, warning.size()), warning);
        EXPECT_NE(r.output.find("); it is kept as \"Settings.unreadable\"\n" + std::string(kDefaults)), std::string::npos)
            << r.output;
        EXPECT_EQ(Value("Settings.unreadable"), stored);
        // The defaults again (their encrypted members differ from one save to the next).
        EXPECT_EQ(Value("Settings").substr(0, 16), settings.substr(0, 16));
        EXPECT_EQ(Value("Settings").size(), settings.size());
    }
}

TEST_F(SettingsStepRun, UnusableEarlierKeypairGivesWayToANewOne)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath, &key), ERROR_SUCCESS);
    RegSetValueExA(key, "PublicKey", 0, REG_SZ, reinterpret_cast<const BYTE*>("0a0b0c"), 7);
    RegSetValueExA(key, "PrivateKey", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("0d0e0f"), 7);
    RegCloseKey(key);
    const Outcome r = Run(GenerateHostKeypair);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.rfind(std::string(kDefaults) + kGenerating + "A new keypair has been generated\n", 0), 0u)
        << r.output;
    // The stored public blob is the new key's alone: "ssh-dss" after its length.
    EXPECT_EQ(Value("Keypair").substr(4, 11), std::string("\0\0\0\x07ssh-dss", 11));
}

TEST_F(SettingsStepRun, FailedSaveAbortsWith121EvenWhenTheUserIsAsked)
{
    // A volatile maker's key: the product key cannot be created beneath it.
    HKEY maker = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &maker, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(maker);
    installerState.interactive = true;
    const Outcome r = Run(GenerateHostKeypair);
    EXPECT_EQ(r.exitCode, 121);
    const std::string tail = "Orvidex configuration saving failed: Error opening registry key. RegCreateKeyEx() "
                             "failed with the following error: OS error 1021";
    const size_t at = r.output.find(tail);
    ASSERT_NE(at, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - 11), ", aborting\n");
    EXPECT_EQ(r.output.find('\n', at), r.output.size() - 1);
}

}  // namespace
