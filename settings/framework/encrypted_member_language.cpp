// The encrypted member kind as instructions set it and queries show it.
#include "settings/framework/encrypted_member.h"

#include "RoVodEre/ErrorInfo.h"
#include "foundation/crypt_block.h"

namespace {

// Puts bytes into a block's buffer; false when the buffer cannot grow.
bool Fill(datavect<unsigned char>& buffer, const std::string& bytes)
{
    buffer.wipe_and_resize(0);
    buffer.append(bytes.begin(), bytes.end());
    return !buffer.af_ && buffer.size() == bytes.size();
}

std::string Bytes(const datavect<unsigned char>& buffer)
{
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

}  // namespace

bool AssignStoredForm(CryptBlock& block, const std::string& storedForm)
{
    std::string previous = Bytes(block.ciphertext);
    ErrorInfo errors;
    bool ok = Fill(block.ciphertext, storedForm) && block.SetPlainFromCrypt(errors);
    block.WipePlain(errors);
    block.plaintext.wipe_and_resize(0);
    if (!ok) Fill(block.ciphertext, previous);
    return ok;
}

bool AssignPlaintext(CryptBlock& block, const std::string& plain, ErrorInfo& info)
{
    std::string previous = Bytes(block.ciphertext);
    bool ok = Fill(block.plaintext, plain);
    if (!ok) info.AddError("Allocation failed");
    ok = ok && block.SetCryptFromPlain(info);
    ErrorInfo wipeErrors;
    block.WipePlain(wipeErrors);
    block.plaintext.wipe_and_resize(0);
    if (!ok) Fill(block.ciphertext, previous);
    return ok;
}

std::string StoredForm(const CryptBlock& block)
{
    return Bytes(block.ciphertext);
}
