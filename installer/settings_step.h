// The last part of an installation: the server's settings and host keypair are made to
// exist in the registry. The settings come from the "/Settings" file, else the registry,
// else the defaults; the keypair from the registry, else release 1.1's values, else a new
// key. Both are then written back. Not an undoable step: it runs before the steps are
// committed, so when it aborts (120, 121) the whole installation is rolled back.
#pragma once

#include <cryptopp/secblock.h>

#include <string>

// Fills a new host keypair: the public-key blob and the private-key blob.
using KeypairGenerator = void (*)(std::string& publicKey, CryptoPP::SecByteBlock& privateKey);

// settingsFile is empty when none was given. Throws SilentExit with 120 (generation) or
// 121 (saving) unless "/Force" or the user lets the failure pass; other failures (the store
// cannot be built, a generated key that cannot be read back) pass through.
void RunSettingsStep(std::string settingsFile, KeypairGenerator generate);
void RunSettingsStep(std::string settingsFile);
