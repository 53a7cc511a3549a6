// The Diffie-Hellman key-exchange handler. Its method names live here once: the key exchange
// offers and recognises them, and the settings build their default list from them.
#pragma once

class DhKexHandler {
public:
    static const char* Group1Sha1Name() { return "diffie-hellman-group1-sha1"; }
    static const char* Group14Sha1Name() { return "diffie-hellman-group14-sha1"; }
    static const char* GroupExchangeSha1Name() { return "diffie-hellman-group-exchange-sha1"; }
};
