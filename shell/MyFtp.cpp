#include "shell/MyFtp.h"

bool CMyFtpConnection::Authenticate(UserRecord& user) {
    return ::Authenticate(users_.Users(), settings_, user.name, user.password, user.rights);
}

CFtpPooledSession* CMyFtpController::CreateSessionObject(CFtpEventSink* sink) {
    return new CMyFtpConnection(this, sink, settings_, users_);
}
