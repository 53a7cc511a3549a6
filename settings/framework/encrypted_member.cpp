// SEAM: CryptBlock comes from branch crypto; until it is merged, encrypted members can be
// neither defaulted nor tested.
#include "settings/framework/encrypted_member.h"

#include "RoVodEre/ErrorInfo.h"

bool EncryptEmptyText(CryptBlock&, ErrorInfo& info)
{
    info.AddError("EncryptEmptyText(): CryptBlock is not built in");
    return false;
}

bool DecryptsToEmptyText(CryptBlock&)
{
    return false;
}
