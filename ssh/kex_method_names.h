// The names of the Diffie-Hellman key-exchange methods, held once: the key exchange offers and
// recognises its methods by them, and the server's settings build their default key-exchange
// list from them. Header only, so that the settings need nothing else of the SSH library.
#pragma once

struct DhKexMethodNames {
    static const char* Group1Sha1Name() { return "diffie-hellman-group1-sha1"; }
    static const char* Group14Sha1Name() { return "diffie-hellman-group14-sha1"; }
    static const char* GroupExchangeSha1Name() { return "diffie-hellman-group-exchange-sha1"; }
};
