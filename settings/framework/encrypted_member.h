// What the record base needs of the encrypted member kind: its default is the encryption
// of the empty text.
#pragma once

class CryptBlock;
class ErrorInfo;

// Empties the plaintext and encrypts it into the ciphertext (fresh IV); false with the
// reasons in info.
bool EncryptEmptyText(CryptBlock& block, ErrorInfo& info);
// Whether the ciphertext decrypts to the empty text; a damaged one does not. The
// decrypted plaintext is overwritten with random bytes afterwards.
bool DecryptsToEmptyText(CryptBlock& block);
