#include "installer/settings_step.h"

#include "foundation/encoded_string.h"
#include "installer/host_keypair.h"
#include "installer/install_step.h"
#include "installer/installer_state.h"
#include "settings/server/cfg_storage.h"
#include "settings/server/keypair_data.h"

#include <windows.h>

#include <exception>

namespace {

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

void LoadSettings(CfgStorage& store, const std::string& settingsFile)
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
    } catch (const std::exception&) {
        PrintLine("Creating default Orvidex settings");
    }
}

// The stored keypair, else release 1.1's, else a new one; empty when a failed generation
// was let pass.
void ObtainKeypair(CfgStorage& store, KeypairData& keypair, KeypairGenerator generate)
{
    try {
        store.LoadKeypair();
        if (!store.m_keypairUndefined)
            keypair = store.m_keypair;
        return;
    } catch (const std::exception&) {
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
    LoadSettings(store, settingsFile);
    KeypairData keypair;
    ObtainKeypair(store, keypair, generate);
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
}

void RunSettingsStep(std::string settingsFile)
{
    RunSettingsStep(std::move(settingsFile), GenerateHostKeypair);
}
