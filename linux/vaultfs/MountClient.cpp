#include "MountClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vaultfs {

namespace {

// All of the pieces, in as few writes as the socket takes: one request
// should reach the simulator as one segment (each of its receives costs it a
// trip to its compatibility layer's server).
bool SendAll(int fd, bool bSocket, iovec* pieces, int count)
{
    while (count > 0) {
        msghdr msg = {};
        msg.msg_iov = pieces;
        msg.msg_iovlen = (size_t)count;
        ssize_t n = bSocket ? sendmsg(fd, &msg, MSG_NOSIGNAL) : writev(fd, pieces, count);
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
        ssize_t n = read(fd, c, cb);
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
bool Exchange(const MountClient::Link& link, const Request& r, Answer* pAnswer)
{
    const bool bPiped = link.req >= 0;
    const int out = bPiped ? link.req : link.tcp, in = bPiped ? link.rep : link.tcp;
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
    if (!SendAll(out, !bPiped, pieces, 4))
        return false;
    if (!RecvAll(in, &pAnswer->reply, sizeof(pAnswer->reply)) || pAnswer->reply.magic != MOUNT_MAGIC ||
        pAnswer->reply.dataBytes > MOUNT_MAX_DATA + (1u << 20))
        return false;
    pAnswer->data.resize(pAnswer->reply.dataBytes);
    return RecvAll(in, pAnswer->data.data(), pAnswer->data.size());
}

void Close(const MountClient::Link& link)
{
    for (int fd : {link.tcp, link.req, link.rep})
        if (fd >= 0)
            close(fd);
}

bool Blocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Moves a greeted connection to a pair of FIFOs in a folder of our own, or
// leaves it on its socket when the simulator does not take them; false when
// the connection is no longer usable. The names go once both ends are open.
bool Pipe(MountClient::Link* pLink)
{
    const char* base = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    std::string dir = std::string(base != nullptr && stat(base, &st) == 0 && S_ISDIR(st.st_mode) ? base : "/tmp") +
                      "/vaultfs-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr)   // 0700
        return true;
    const std::string req = dir + "/req", rep = dir + "/rep";
    signal(SIGPIPE, SIG_IGN);   // a simulator gone while a request is written: EPIPE, not the end of vaultfs
    MountClient::Link pipes;
    if (mkfifo(req.c_str(), 0600) == 0 && mkfifo(rep.c_str(), 0600) == 0)
        pipes.rep = open(rep.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);   // there before the simulator writes
    Request r;
    r.op = MOUNT_PIPES;
    r.path = dir;
    Answer a;
    const bool bAnswered = pipes.rep >= 0 && Exchange(*pLink, r, &a);
    bool bUsable = pipes.rep < 0 || bAnswered, bPiped = bAnswered && a.status() == MOUNT_OK;
    if (bPiped) {
        pipes.req = open(req.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);   // the simulator reads it now
        bPiped = bUsable = pipes.req >= 0 && Blocking(pipes.req) && Blocking(pipes.rep);   // it has moved on to them
    }
    unlink(req.c_str());
    unlink(rep.c_str());
    rmdir(dir.c_str());
    if (!bPiped) {
        Close(pipes);
        return bUsable;
    }
    // Room for a whole write and a whole read's reply, or as much as a user
    // may have: neither side waits for the other's reading half-way.
    for (int fd : {pipes.req, pipes.rep})
        if (fcntl(fd, F_SETPIPE_SZ, (int)(MOUNT_MAX_DATA + (64u << 10))) < 0)
            fcntl(fd, F_SETPIPE_SZ, (int)MOUNT_MAX_DATA);
    pLink->req = pipes.req;
    pLink->rep = pipes.rep;
    return true;
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
    for (const Link& link : m_idle)
        Close(link);
    m_idle.clear();
}

bool MountClient::Connect(Link* pLink, Answer* pFailure)
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
        return false;
    }
    int one = 1, room = 2 * MOUNT_MAX_DATA;   // a whole write goes out without waiting for the reader
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    Link link;
    link.tcp = fd;
    Request hello;
    hello.op = MOUNT_HELLO;
    hello.handle = m_session;
    hello.path = m_vault;
    hello.data = m_endpoint.secret.data();
    hello.dataBytes = m_endpoint.secret.size();
    Answer a;
    if (!Exchange(link, hello, &a) || (a.status() == MOUNT_OK && !Pipe(&link))) {
        *pFailure = Failed("the serving simulator closed the connection");
        Close(link);
        return false;
    }
    if (a.status() != MOUNT_OK) {
        *pFailure = a;
        Close(link);
        return false;
    }
    *pLink = link;
    return true;
}

Answer MountClient::Call(const Request& request)
{
    Link link;
    bool bHave = false;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        if (!m_idle.empty()) {
            link = m_idle.back();
            m_idle.pop_back();
            bHave = true;
        }
    }
    Answer answer;
    if (!bHave && !Connect(&link, &answer))
        return answer;
    if (!Exchange(link, request, &answer)) {
        Close(link);
        return Failed("the serving simulator closed the connection");
    }
    std::lock_guard<std::mutex> lock(m_mu);
    m_idle.push_back(link);
    return answer;
}

}  // namespace vaultfs
