// The connection manager's user authentication messages: requests (server) and answers (client).
#include "ssh/manager.h"

#include "ssh/message_numbers.h"
#include "ssh/wire.h"

void UserAuthState::ExpectState(int n) const
{
    if (state != n)
        throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError,
                                     "received packet inappropriate for current authentication state", "en");
}

namespace SSH {

void Manager::ProcessUserAuthRequest(CryptoPP::BufferedTransformation& in)
{
    transport_.ExpectServer();
    transport_.ExpectTransportState(TransportServiceRunning);
    UserAuthState& auth = userAuth_;
    if (auth.state == UserAuthState::Success) {
        auth.OnRequestAfterSuccess(in);
        in.Skip();
        return;
    }
    DecodeMessageNumber(in, SSH_MSG_USERAUTH_REQUEST);
    std::string user, service, method;
    DecodeString(in, user);
    DecodeString(in, service);
    DecodeString(in, method);
    auth.currentMethod = method;
    if (service != "ssh-connection")
        throw CauseToDisconnect(DisconnectServiceNotAvailable, "", "en");
    if (auth.userKnown && auth.user != user)
        auth.OnUserChanged(user);
    auth.user = user;
    auth.userKnown = true;
    if (NameListContains(auth.methodsThatCanContinue, method))
        auth.HandleRequest(*this, method, in);
    else
        auth.RejectMethod(method);

    CryptoPP::BufferedTransformation& out = Output();
    switch (auth.state) {
    case UserAuthState::PublicKeyOk:
        EncodeByte(out, SSH_MSG_USERAUTH_PK_OK);
        EncodeString(out, auth.publicKeyAlgorithm);
        EncodeString(out, auth.publicKeyBlob);
        break;
    case UserAuthState::PasswordChangeRequested:
        EncodeByte(out, SSH_MSG_USERAUTH_PASSWD_CHANGEREQ);
        EncodeString(out, auth.prompt);
        EncodeString(out, auth.promptLanguage);
        break;
    case UserAuthState::Failure:
    case UserAuthState::PartialSuccess:
        EncodeByte(out, SSH_MSG_USERAUTH_FAILURE);
        EncodeString(out, auth.methodsThatCanContinue);
        EncodeBoolean(out, auth.state == UserAuthState::PartialSuccess);
        break;
    case UserAuthState::Success:
        EncodeByte(out, SSH_MSG_USERAUTH_SUCCESS);
        break;
    default:
        return;
    }
    EndMessage();
}

void Manager::ProcessUserAuthAnswer(CryptoPP::byte number, CryptoPP::BufferedTransformation& in, bool& unimplemented)
{
    transport_.ExpectClient();
    UserAuthState& auth = userAuth_;
    if (number == SSH_MSG_USERAUTH_BANNER) {
        if (auth.state == UserAuthState::Success) {
            in.Skip();
            return;
        }
        DecodeMessageNumber(in, SSH_MSG_USERAUTH_BANNER);
        std::string text, language;
        DecodeString(in, text);
        DecodeString(in, language);
        OnBanner(text, language);
        return;
    }
    transport_.ExpectTransportState(TransportServiceRunning);
    DecodeMessageNumber(in, number);
    if (number == SSH_MSG_USERAUTH_FAILURE) {
        bool partial;
        DecodeString(in, auth.methodsThatCanContinue);
        DecodeBoolean(in, partial);
        auth.state = partial ? UserAuthState::PartialSuccess : UserAuthState::Failure;
    } else if (number == SSH_MSG_USERAUTH_SUCCESS) {
        auth.state = UserAuthState::Success;
    } else {
        if (auth.state == UserAuthState::Success) {
            in.Skip();
            return;
        }
        if (auth.currentMethod == "publickey") {
            DecodeString(in, auth.publicKeyAlgorithm);
            DecodeString(in, auth.publicKeyBlob);
            auth.state = UserAuthState::PublicKeyOk;
        } else if (auth.currentMethod == "password") {
            DecodeString(in, auth.prompt);
            DecodeString(in, auth.promptLanguage);
            auth.state = UserAuthState::PasswordChangeRequested;
        } else {
            unimplemented = true;
            return;
        }
    }
    auth.OnStateChanged(*this);
}

}  // namespace SSH
