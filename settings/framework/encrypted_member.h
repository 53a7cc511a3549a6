// What the record base needs of the encrypted member kind: its default is the encryption
// of the empty text.
#pragma once

#include <string>

class CryptBlock;
class ErrorInfo;

// Empties the plaintext and encrypts it into the ciphertext (fresh IV); false with the
// reasons in info.
bool EncryptEmptyText(CryptBlock& block, ErrorInfo& info);
// Whether the ciphertext decrypts to the empty text; a damaged one does not. The
// decrypted plaintext is overwritten with random bytes afterwards.
bool DecryptsToEmptyText(CryptBlock& block);

// "Crypt:" input: the stored form replaces the block's only when it checks out (tag,
// length, padding); otherwise the block keeps its previous value and false is returned.
bool AssignStoredForm(CryptBlock& block, const std::string& storedForm);
// "Plain:" input: the plaintext is encrypted into the block (fresh IV); on failure the
// block keeps its previous value and info holds the reasons. No copy of plain is left in
// the block's plaintext buffer.
bool AssignPlaintext(CryptBlock& block, const std::string& plain, ErrorInfo& info);
// The stored form's bytes, for display as "Crypt:" and hex.
std::string StoredForm(const CryptBlock& block);
