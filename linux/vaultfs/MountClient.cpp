#include "MountClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vaultfs {

namespace {

// All of the pieces, in as few writes as the socket takes: one request
// should reach the simulator as one segment (each of its receives costs it a
// trip to its compatibility layer's server).
bool SendAll(int fd, iovec* pieces, int count)
{
    while (count > 0) {
        msghdr msg = {};
        msg.msg_iov = pieces;
        msg.msg_iovlen = (size_t)count;
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        while (count > 0 && (size_t)n >= pieces->iov_len) {
            n -= (ssize_t)pieces->iov_len;
            pieces++;
            count--;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + n;
            pieces->iov_len -= (size_t)n;
        }
    }
    return true;
}

bool RecvAll(int fd, void* p, size_t cb)
{
    char* c = static_cast<char*>(p);
    while (cb > 0) {
        ssize_t n = recv(fd, c, cb, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        c += n;
        cb -= (size_t)n;
    }
    return true;
}

Answer Failed(const std::string& text)
{
    Answer a;
    a.reply.status = kTransportFailed;
    a.data.assign(text.begin(), text.end());
    return a;
}

// One exchange on one connection; false when the connection broke.
bool Exchange(int fd, const Request& r, Answer* pAnswer)
{
    MOUNT_REQUEST req = {};
    req.magic = MOUNT_MAGIC;
    req.op = r.op;
    req.handle = r.handle;
    req.offset = r.offset;
    req.length = r.length;
    req.flags = r.flags;
    req.pathBytes = (uint32_t)r.path.size();
    req.path2Bytes = (uint32_t)r.path2.size();
    req.dataBytes = (uint32_t)r.dataBytes;
    iovec pieces[] = {{&req, sizeof(req)},
                      {const_cast<char*>(r.path.data()), r.path.size()},
                      {const_cast<char*>(r.path2.data()), r.path2.size()},
                      {const_cast<void*>(r.data), r.dataBytes}};
    if (!SendAll(fd, pieces, 4))
        return false;
    if (!RecvAll(fd, &pAnswer->reply, sizeof(pAnswer->reply)) || pAnswer->reply.magic != MOUNT_MAGIC ||
        pAnswer->reply.dataBytes > MOUNT_MAX_DATA + (1u << 20))
        return false;
    pAnswer->data.resize(pAnswer->reply.dataBytes);
    return RecvAll(fd, pAnswer->data.data(), pAnswer->data.size());
}

}  // namespace

bool ReadEndpoint(const std::string& file, Endpoint* pOut, std::string* pError)
{
    std::ifstream in(file);
    std::string line, word, version;
    unsigned port = 0;
    if (!in || !std::getline(in, line)) {
        *pError = "no endpoint file " + file + ": is vaultfilter --serve running in that Wine prefix?";
        return false;
    }
    std::istringstream words(line);
    if (!(words >> word >> version >> port >> pOut->secret) || word != "vaultfs" || version != "1" || port == 0 ||
        port > 65535 || pOut->secret.size() != MOUNT_SECRET_CHARS) {
        *pError = "the endpoint file " + file + " does not read \"vaultfs 1 PORT SECRET\"";
        return false;
    }
    pOut->port = (uint16_t)port;
    return true;
}

MountClient::MountClient(Endpoint endpoint, std::string vault, uint64_t session)
    : m_endpoint(std::move(endpoint)), m_vault(std::move(vault)), m_session(session)
{
}

MountClient::~MountClient() { CloseAll(); }

void MountClient::CloseAll()
{
    std::lock_guard<std::mutex> lock(m_mu);
    for (int fd : m_idle)
        close(fd);
    m_idle.clear();
}

int MountClient::Connect(Answer* pFailure)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(m_endpoint.port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        *pFailure = Failed("no serving simulator on 127.0.0.1:" + std::to_string(m_endpoint.port) + ": " +
                           strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    int one = 1, room = 2 * MOUNT_MAX_DATA;   // a whole write goes out without waiting for the reader
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    Request hello;
    hello.op = MOUNT_HELLO;
    hello.handle = m_session;
    hello.path = m_vault;
    hello.data = m_endpoint.secret.data();
    hello.dataBytes = m_endpoint.secret.size();
    Answer a;
    if (!Exchange(fd, hello, &a)) {
        *pFailure = Failed("the serving simulator closed the connection");
        close(fd);
        return -1;
    }
    if (a.status() != MOUNT_OK) {
        *pFailure = a;
        close(fd);
        return -1;
    }
    return fd;
}

Answer MountClient::Call(const Request& request)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        if (!m_idle.empty()) {
            fd = m_idle.back();
            m_idle.pop_back();
        }
    }
    Answer answer;
    if (fd < 0 && (fd = Connect(&answer)) < 0)
        return answer;
    if (!Exchange(fd, request, &answer)) {
        close(fd);
        return Failed("the serving simulator closed the connection");
    }
    std::lock_guard<std::mutex> lock(m_mu);
    m_idle.push_back(fd);
    return answer;
}

}  // namespace vaultfs
