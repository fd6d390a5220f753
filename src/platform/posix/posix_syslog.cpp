// Events for syslog. journald and rsyslog both read the local socket /dev/log,
// and take each datagram in the form syslog(3) writes it:
// "<PRI>Mmm dd hh:mm:ss velumtar[PID]: text". The datagram is written here
// rather than by syslog(3), which tells its caller nothing: an event the
// system did not take has to be counted. Facility LOG_AUTH: the events tell
// of changed executables, which is security news, and the usual setups keep
// them in the authentication log, readable by administrators only.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/posix/posix_internal.h"

namespace velumtar::posix {
namespace {

// How long a full socket is waited for before the event counts as failed; a
// reader that stalled once is not waited for again until it takes an event.
constexpr int kWaitMilliseconds = 1000;

int severity(EventLevel level) {
    switch (level) {
        case EventLevel::information:
            return LOG_INFO;
        case EventLevel::warning:
            return LOG_WARNING;
        case EventLevel::error:
            return LOG_ERR;
    }
    return LOG_NOTICE;
}

class SocketLog final : public SystemLog {
  public:
    explicit SocketLog(std::string path) : path_(std::move(path)) {}

    bool send(const SystemEvent& event) override {
        const std::string frame =
            syslogFrame(event, static_cast<long long>(std::time(nullptr)), ::getpid());
        // A second try on a fresh connection: the reader may have restarted.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_.get() < 0 && !connect())
                return false;
            if (deliver(frame))
                return true;
            fd_.reset();
        }
        return false;
    }

  private:
    bool connect() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        // A datagram socket as a rule; a stream socket where the reader
        // offers one (syslog(3) does the same).
        for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
            Descriptor fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
            if (fd.get() < 0)
                return false;
            if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0) {
                fd_ = std::move(fd);
                stream_ = type == SOCK_STREAM;
                return true;
            }
            if (errno != EPROTOTYPE)
                return false;
        }
        return false;
    }

    bool deliver(const std::string& frame) {
        // On a stream the frames are separated by their terminating NUL.
        const std::size_t length = frame.size() + (stream_ ? 1 : 0);
        std::size_t sent = 0;
        while (sent < length) {
            const ssize_t n =
                ::send(fd_.get(), frame.c_str() + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && !stalled_) {
                pollfd wait{fd_.get(), POLLOUT, 0};
                if (::poll(&wait, 1, kWaitMilliseconds) > 0)
                    continue;
                stalled_ = true;
            }
            return false;
        }
        stalled_ = false;
        return true;
    }

    std::string path_;
    Descriptor fd_;
    bool stream_ = false;
    bool stalled_ = false;
};

}  // namespace

std::string syslogFrame(const SystemEvent& event, long long now, long pid) {
    const std::time_t seconds = static_cast<std::time_t>(now);
    std::tm local{};
    char stamp[32] = "";
    if (::localtime_r(&seconds, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    return "<" + std::to_string(LOG_AUTH | severity(event.level)) + ">" + stamp + " velumtar[" +
           std::to_string(pid) + "]: " + event.text;
}

std::unique_ptr<SystemLog> openSyslog(const std::string& socketPath) {
    return std::make_unique<SocketLog>(socketPath);
}

}  // namespace velumtar::posix
