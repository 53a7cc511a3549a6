#include "settings/framework/encrypted_member.h"

#include "RoVodEre/ErrorInfo.h"
#include "foundation/crypt_block.h"
#include "foundation/random_source.h"

bool EncryptEmptyText(CryptBlock& block, ErrorInfo& info)
{
    // The default gets a fresh IV each time, like every encryption.
    return block.WipePlain(info) && block.SetCryptFromPlain(info);
}

bool DecryptsToEmptyText(CryptBlock& block)
{
    ErrorInfo info;
    if (!block.SetPlainFromCrypt(info))
        return false;
    const bool empty = block.plaintext.size() == 0;
    RandomWipe(block.plaintext, info);
    return empty;
}
