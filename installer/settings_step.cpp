#include "installer/settings_step.h"

#include "foundation/encoded_string.h"
#include "installer/host_keypair.h"
#include "installer/install_step.h"
#include "installer/installer_state.h"
#include "settings/server/cfg_storage.h"
#include "settings/server/keypair_data.h"

#include <windows.h>

#include <exception>
#include <vector>

namespace {

// A stored value that exists but cannot be loaded is never overwritten without being kept:
// its bytes are copied beside it under "<name>.unreadable" (".unreadable.2" and on when an
// earlier backup holds that name), and put back, with the copy removed, unless the step
// completes. A missing value is no reason for either.
class UnreadableValueBackup {
public:
    UnreadableValueBackup(HKEY key, const char* name) : key_(key), name_(name) {}
    ~UnreadableValueBackup()
    {
        if (backupName_.empty() || kept_) return;
        RegSetValueExA(key_, name_, 0, type_, original_.empty() ? nullptr : original_.data(),
                       static_cast<DWORD>(original_.size()));
        RegDeleteValueA(key_, backupName_.c_str());
        Wipe();
    }
    UnreadableValueBackup(const UnreadableValueBackup&) = delete;
    UnreadableValueBackup& operator=(const UnreadableValueBackup&) = delete;

    // After a failed load: copies the value when it exists and says so; throws when the copy
    // cannot be made, since the value would then be lost.
    void KeepIfPresent(const std::string& reason)
    {
        DWORD size = 0;
        if (!key_ || RegQueryValueExA(key_, name_, nullptr, &type_, nullptr, &size) != ERROR_SUCCESS) return;
        original_.assign(size, 0);
        LONG result = RegQueryValueExA(key_, name_, nullptr, &type_, original_.empty() ? nullptr : original_.data(),
                                       &size);
        if (result != ERROR_SUCCESS) throw InstallError("the stored value \"" + std::string(name_) +
                                                        "\" cannot be read to keep a copy: OS error " +
                                                        std::to_string(result));
        original_.resize(size);
        for (int n = 1;; ++n) {
            std::string candidate = std::string(name_) + ".unreadable" + (n == 1 ? "" : "." + std::to_string(n));
            if (RegQueryValueExA(key_, candidate.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND) {
                backupName_ = candidate;
                break;
            }
        }
        result = RegSetValueExA(key_, backupName_.c_str(), 0, type_, original_.empty() ? nullptr : original_.data(),
                                static_cast<DWORD>(original_.size()));
        if (result != ERROR_SUCCESS) {
            backupName_.clear();
            Wipe();
            throw InstallError("the unreadable stored value \"" + std::string(name_) +
                               "\" cannot be kept: OS error " + std::to_string(result));
        }
        PrintLine("Warning: the stored value \"" + std::string(name_) + "\" cannot be loaded (" + reason +
                  "); it is kept as \"" + backupName_ + "\"");
    }
    void Keep()
    {
        kept_ = true;
        Wipe();
    }

private:
    void Wipe()
    {
        for (BYTE& b : original_) b = 0;  // a keypair's bytes hold the private key
        original_.clear();
    }

    HKEY key_;
    const char* name_;
    DWORD type_ = REG_BINARY;
    std::vector<BYTE> original_;
    std::string backupName_;
    bool kept_ = false;
};

// A failure the user may let pass: with "/Force" a warning; otherwise the abort line, then
// in interactive mode the question (Yes goes on), else the exit.
struct PassableFailure {
    const char* warning;   // "Warning: keypair generation failed: " and the like
    const char* line;      // "Keypair generation failed: " and the like
    const char* boxStart;  // the question's first sentence
    const char* title;
    int exitCode;
};

const PassableFailure kGenerationFailure = {"Warning: keypair generation failed: ",
                                            "Keypair generation failed: ", "Keypair could not be generated.",
                                            "Keypair Generation Failed", ExitKeyGeneration};
const PassableFailure kSaveFailure = {"Warning: Orvidex configuration saving failed: ",
                                      "Orvidex configuration saving failed: ",
                                      "Orvidex configuration could not be saved.", "Configuration Saving Failed",
                                      ExitSaveSettings};

void LetPassOrAbort(const PassableFailure& failure, const std::string& reason)
{
    if (installerState.force) {
        PrintLine(failure.warning + reason);
        return;
    }
    PrintLine(failure.line + reason + ", aborting");
    if (installerState.interactive &&
        AskYesNo(std::string(failure.boxStart) + "\nReason: " + reason +
                     ".\nDo you want to continue with the installation anyway?",
                 failure.title))
        return;
    throw SilentExit(failure.exitCode);
}

void LoadSettings(CfgStorage& store, const std::string& settingsFile, UnreadableValueBackup& storedSettings)
{
    if (!settingsFile.empty()) {
        PrintLine("Loading Orvidex settings from file " + settingsFile);
        CodePageString name(GetACP());
        name.text = settingsFile;
        try {
            store.LoadFromFile(name);
            return;
        } catch (const std::exception& e) {
            PrintLine(std::string("Warning: loading Orvidex settings failed: ") + e.what());
        }
    }
    try {
        store.LoadSettings();
    } catch (const std::exception& e) {
        storedSettings.KeepIfPresent(e.what());
        PrintLine("Creating default Orvidex settings");
    }
}

// The stored keypair, else release 1.1's, else a new one; empty when a failed generation
// was let pass.
void ObtainKeypair(CfgStorage& store, KeypairData& keypair, KeypairGenerator generate,
                   UnreadableValueBackup& storedKeypair)
{
    try {
        store.LoadKeypair();
        if (!store.m_keypairUndefined)
            keypair = store.m_keypair;
        return;
    } catch (const std::exception& e) {
        storedKeypair.KeepIfPresent(e.what());
    }
    if (ImportEarlierKeypair(keypair.m_publicKey, keypair.m_privateKey)) {
        PrintLine("Keypair has been successfully imported from Orvidex 1.1");
        return;
    }

    PrintLine("No existing keypair found, generating new keypair");
    try {
        generate(keypair.m_publicKey, keypair.m_privateKey);
    } catch (const std::exception& e) {
        keypair.m_publicKey.clear();
        keypair.m_privateKey.New(0);
        LetPassOrAbort(kGenerationFailure, e.what());
    }
    if (!keypair.m_publicKey.empty()) {
        PrintLine("A new keypair has been generated");
        PrintFingerprints(keypair.m_publicKey);
    }
}

}  // namespace

void RunSettingsStep(std::string settingsFile, KeypairGenerator generate)
{
    CfgStorage store(true);
    // The loads open or create the product key anyway; a key that cannot be opened is left
    // to the save, which reports it as a failed save.
    try {
        store.OpenKey();
    } catch (const std::exception&) {
    }
    HKEY productKey = store.m_keyOpen ? store.m_hKey : nullptr;
    UnreadableValueBackup storedSettings(productKey, "Settings"), storedKeypair(productKey, "Keypair");
    LoadSettings(store, settingsFile, storedSettings);
    KeypairData keypair;
    ObtainKeypair(store, keypair, generate, storedKeypair);
    try {
        store.SaveSettings();
        if (!keypair.m_publicKey.empty()) {
            store.m_keypair = keypair;
            store.m_keypairUndefined = false;
            store.SaveKeypair();
        }
    } catch (const std::exception& e) {
        LetPassOrAbort(kSaveFailure, e.what());
    }
    storedSettings.Keep();
    storedKeypair.Keep();
}

void RunSettingsStep(std::string settingsFile)
{
    RunSettingsStep(std::move(settingsFile), GenerateHostKeypair);
}
