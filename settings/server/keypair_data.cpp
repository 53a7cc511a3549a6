#include "settings/server/keypair_data.h"

#include "settings/framework/cfg_enc_dec.h"

void WriteKeypairData(CryptoPP::BufferedTransformation& out, const KeypairData& keypair)
{
    CfgEncDec::WriteString(out, keypair.m_publicKey);
    CfgEncDec::WriteSecBlock(out, keypair.m_privateKey);
    CfgEncDec::WriteEnd(out);
}

void ReadKeypairData(CryptoPP::BufferedTransformation& in, KeypairData& keypair)
{
    KeypairData fresh;
    CfgEncDec::ReadString(in, fresh.m_publicKey);
    CfgEncDec::ReadSecBlock(in, fresh.m_privateKey);
    CfgEncDec::CheckEnd(in);
    keypair = fresh;
}
