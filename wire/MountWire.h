// The mount protocol: vaultfs (a Linux FUSE file system) asks the serving
// driver simulator (vaultfilter --serve, under Wine) for the file operations
// of one vault, and the simulator plays the driver's part for them through
// the port. Shared by the native build (vaultfs) and the Windows build (the
// simulator): fixed-width integers only, every offset and size pinned.
//
// Transport: TCP on 127.0.0.1 (Winsock under Wine has no AF_UNIX). The
// serving simulator listens on a port of the system's choosing and writes
// the endpoint file "<Wine prefix>/vaultfs.endpoint", one line of text:
//     vaultfs 1 PORT SECRET
// SECRET being 32 hex digits that every connection's hello must carry.
//
// A connection carries one request at a time: a MOUNT_REQUEST and its
// payload, then a MOUNT_REPLY and its payload. vaultfs opens as many
// connections as it has requests in flight; the simulator serves each on a
// thread of its own. Every connection begins with MOUNT_HELLO, whose path is
// the vault ("V:" or its folder, "C:\Vaults\Work") and whose data is the
// secret; it fixes the vault and the session for the connection. A session
// id (chosen by vaultfs) groups the connections of one mount: when the last
// connection of a session closes, the files it left open are closed (their
// file keys released). Handles belong to the session that opened them.
//
// Before its hello a connection may send nothing else, and its hello must
// come within MOUNT_HELLO_MS with a path of at most MOUNT_MAX_VAULT bytes and
// exactly the secret: anything else, a wrong secret included, ends the
// connection. A session has at most MOUNT_MAX_SESSION_LINKS connections.
//
// Pipes: after its hello, a connection may move its requests and replies
// to a pair of FIFOs that vaultfs made (MOUNT_PIPES): under Wine a read of
// a FIFO is a plain read of the process, where every socket call is a trip
// to the compatibility layer's server (a round trip of a few microseconds
// instead of a few hundred). vaultfs makes "req" and "rep" in a folder of
// its own (0700), opens "rep" for reading and holds a writer of "req", and
// sends MOUNT_PIPES with the folder's Unix path; the simulator opens both
// and answers on the socket. From the answer on, requests come through
// "req" and replies go through "rep", and the socket carries nothing more:
// its end (or any byte on it) ends the connection. A simulator that cannot
// open them answers a failure, and the connection goes on over the socket.
//
// Paths are UTF-8, relative to the vault, with "/" between names and a
// leading "/" ("/" is the vault folder itself); no terminating NUL. All
// integers are little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define MOUNT_MAGIC          0x5346564Du   // "MVFS"
#define MOUNT_VERSION        1u
#define MOUNT_SECRET_CHARS   32u
#define MOUNT_MAX_PATH       4096u          // bytes of one path
#define MOUNT_MAX_DATA       (1u << 20)     // bytes of one read or write
#define MOUNT_ENDPOINT_FILE  "vaultfs.endpoint"
// Names longer than this (in UTF-8) cannot be encoded into a meta text.
#define MOUNT_MAX_NAME       182u
#define MOUNT_MAX_VAULT      1024u          // bytes of the hello's path
#define MOUNT_HELLO_MS       5000u          // from connection to hello
#define MOUNT_MAX_SESSION_LINKS 64u         // connections of one session

enum MountOp : uint32_t {
    MOUNT_HELLO  = 1,    // path: the vault; data: the secret; handle: the session id
    MOUNT_STAT   = 2,    // path (or handle: an open file) -> kind, size, mtime
    MOUNT_LIST   = 3,    // path (a folder) -> MOUNT_ENTRY records, each followed by its name
    MOUNT_OPEN   = 4,    // path, flags -> handle, version, attributes
    MOUNT_READ   = 5,    // handle, offset, length -> data (shorter at the end of the file)
    MOUNT_WRITE  = 6,    // handle, offset, data -> attributes afterwards
    MOUNT_RESIZE = 7,    // handle (or 0 and path), offset = the new size
    MOUNT_CLOSE  = 8,    // handle
    MOUNT_RENAME = 9,    // path -> path2; flags MOUNT_RENAME_NOREPLACE
    MOUNT_DELETE = 10,   // path (a file)
    MOUNT_MKDIR  = 11,   // path -> the new folder's attributes
    MOUNT_RMDIR  = 12,   // path (an empty folder)
    MOUNT_STATFS = 13,   // -> size = bytes free, offset = bytes in all
    MOUNT_TOUCH  = 14,   // path (or handle), offset = new modification time (ns since 1970)
    MOUNT_SYNC   = 15,   // handle (a file), or 0 and path (a folder); flags MOUNT_SYNC_DATA_ONLY
    MOUNT_PIPES  = 16,   // path: the Unix path of the folder of "req" and "rep" (see Pipes above)
};

// MOUNT_OPEN flags.
#define MOUNT_OPEN_CREATE     0x1u   // create the file when the folder lacks it
#define MOUNT_OPEN_EXCLUSIVE  0x2u   // with CREATE: fail when it exists
#define MOUNT_OPEN_TRUNCATE   0x4u   // size 0 after opening
// MOUNT_WRITE flags.
#define MOUNT_WRITE_RECORD    0x1u   // and then recorded, as MOUNT_SYNC_RECORD records
#define MOUNT_WRITE_TOUCH     0x2u   // and then its time set, as MOUNT_TOUCH sets it: path2 holds
                                     // the time as 8 bytes (ns since 1970, little-endian)
// MOUNT_RENAME flags.
#define MOUNT_RENAME_NOREPLACE 0x1u
// MOUNT_SYNC flags.
#define MOUNT_SYNC_DATA_ONLY   0x1u   // fdatasync: the file, not its folder
#define MOUNT_SYNC_RECORD      0x2u   // close(2): what was written recorded, nothing flushed to disk

// What went wrong, in the simulator's terms; vaultfs chooses the errno.
enum MountStatus : int32_t {
    MOUNT_OK            = 0,
    MOUNT_NO_AGENT      = 1,    // no agent, or it did not answer
    MOUNT_REFUSED       = 2,    // the agent refused the request
    MOUNT_NOT_LOGGED_IN = 3,
    MOUNT_BAD_PATH      = 4,    // not a usable path or name
    MOUNT_NOT_FOUND     = 5,
    MOUNT_EXISTS        = 6,
    MOUNT_DISK          = 7,    // reading or writing a stored file failed
    MOUNT_CORRUPT       = 8,    // stored files that do not fit their meta text
    MOUNT_IS_FOLDER     = 9,
    MOUNT_NOT_FOLDER    = 10,
    MOUNT_NOT_EMPTY     = 11,
    MOUNT_BAD_HANDLE    = 12,
    MOUNT_BAD_REQUEST   = 13,   // malformed request, wrong secret, no hello
    MOUNT_NAME_TOO_LONG = 14,   // a name or path the vault cannot reach
    MOUNT_NO_SPACE      = 15,   // the vault's disk is full
};

// What a path names.
enum MountKind : uint32_t {
    MOUNT_KIND_NONE   = 0,
    MOUNT_KIND_FILE   = 1,
    MOUNT_KIND_FOLDER = 2,
};

// A request: this record, then pathBytes of path, path2Bytes of path2 and
// dataBytes of data.
typedef struct MOUNT_REQUEST {
    uint32_t magic;
    uint32_t op;           // MountOp
    uint64_t handle;
    uint64_t offset;
    uint32_t length;       // MOUNT_READ: bytes wanted
    uint32_t flags;
    uint32_t pathBytes;
    uint32_t path2Bytes;
    uint32_t dataBytes;
    uint32_t reserved;     // 0
} MOUNT_REQUEST;

// A reply: this record, then dataBytes of data (MOUNT_READ: content;
// MOUNT_LIST: entries; on a failure: a sentence for a person).
typedef struct MOUNT_REPLY {
    uint32_t magic;
    int32_t  status;       // MountStatus
    uint64_t handle;       // MOUNT_OPEN: the open file
    // MOUNT_STAT; and after MOUNT_OPEN, MOUNT_WRITE, MOUNT_RESIZE,
    // MOUNT_TOUCH and MOUNT_MKDIR, the file's or folder's as they leave it:
    // plain size, modification time (ns since 1970), MountKind. MOUNT_READ:
    // the size.
    uint64_t size;
    uint64_t mtimeNs;
    uint32_t kind;
    uint32_t dataBytes;
    // MOUNT_OPEN: the content's version, which every change of it changes
    // (never repeated, not even across a restart of the simulator);
    // MOUNT_CLOSE: the version the handle leaves, or 0 when another session
    // changed the content while it was open. A session that opens a file at
    // the version its own last handle left may keep the pages it has.
    uint64_t version;
} MOUNT_REPLY;

// One entry of a listing; nameBytes of name follow it.
typedef struct MOUNT_ENTRY {
    uint64_t size;
    uint64_t mtimeNs;
    uint32_t kind;         // MountKind
    uint32_t nameBytes;
} MOUNT_ENTRY;

#define MOUNT_AT(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " moved")

static_assert(sizeof(MOUNT_REQUEST) == 48, "MOUNT_REQUEST size");
MOUNT_AT(MOUNT_REQUEST, magic, 0);
MOUNT_AT(MOUNT_REQUEST, op, 4);
MOUNT_AT(MOUNT_REQUEST, handle, 8);
MOUNT_AT(MOUNT_REQUEST, offset, 16);
MOUNT_AT(MOUNT_REQUEST, length, 24);
MOUNT_AT(MOUNT_REQUEST, flags, 28);
MOUNT_AT(MOUNT_REQUEST, pathBytes, 32);
MOUNT_AT(MOUNT_REQUEST, path2Bytes, 36);
MOUNT_AT(MOUNT_REQUEST, dataBytes, 40);
MOUNT_AT(MOUNT_REQUEST, reserved, 44);

static_assert(sizeof(MOUNT_REPLY) == 48, "MOUNT_REPLY size");
MOUNT_AT(MOUNT_REPLY, magic, 0);
MOUNT_AT(MOUNT_REPLY, status, 4);
MOUNT_AT(MOUNT_REPLY, handle, 8);
MOUNT_AT(MOUNT_REPLY, size, 16);
MOUNT_AT(MOUNT_REPLY, mtimeNs, 24);
MOUNT_AT(MOUNT_REPLY, kind, 32);
MOUNT_AT(MOUNT_REPLY, dataBytes, 36);
MOUNT_AT(MOUNT_REPLY, version, 40);

static_assert(sizeof(MOUNT_ENTRY) == 24, "MOUNT_ENTRY size");
MOUNT_AT(MOUNT_ENTRY, size, 0);
MOUNT_AT(MOUNT_ENTRY, mtimeNs, 8);
MOUNT_AT(MOUNT_ENTRY, kind, 16);
MOUNT_AT(MOUNT_ENTRY, nameBytes, 20);

static_assert(sizeof(MountOp) == 4 && sizeof(MountStatus) == 4 && sizeof(MountKind) == 4, "enum sizes");

#undef MOUNT_AT
