// msvcrt streams over POSIX descriptors: fopen modes with "t" and "b", CR LF translation and the
// 0x1A end of text in text mode. Every stream is a glibc cookie stream, so each read, write and
// close of the tools passes the fault choke point.
//
// A binary stream keeps its own position and reads and writes at it (pread, pwrite): a seek costs
// no system call, and the block the runtime reads again after a seek within it (it always reads
// whole aligned blocks) comes from the last block read. A voice read from its archive and written
// out whole thus costs the system about one read, one write and the open and close.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

constexpr size_t STREAM_BUFFER = 65536;   // stdio buffer of a stream that only reads
constexpr size_t WRITE_BUFFER = 262144;   // and of one that writes: most voices go out in one piece
constexpr size_t BLOCK_CACHE = 262144;    // the last block a binary stream read (a few voices)
constexpr size_t RAW_BUFFER = 65536;      // undecoded bytes of a text stream being read
constexpr size_t TEXT_CHUNK = 32768;      // text written per translation round (doubles at most)

struct stream_cookie {
    int fd;
    int text;
    int text_ended;       // a 0x1A byte was met: the text ends there until the next seek
    int commit;           // "c": the data goes to the disk before the stream is closed
    char* raw;            // text reading: bytes read from the file but not yet handed out
    char* buffer;         // the stdio buffer (glibc would pick 8 KiB for a cookie stream)
    size_t raw_pos;
    size_t raw_len;
    int positioned;       // binary, not appending: reads and writes at pos
    off_t pos;
    char* block;          // the last block read at block_pos, block_len bytes of it
    off_t block_pos;
    size_t block_len;
};

// Writes all of n bytes unless the system refuses; answers the bytes written. With at, the bytes go
// to that position (advanced past them) and the descriptor's own position is left alone.
size_t write_all(int fd, const char* p, size_t n, off_t* at = nullptr) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = at ? pwrite(fd, p + done, n - done, *at) : write(fd, p + done, n - done);
        if (k < 0) {
            if (errno == EINTR) continue;
            errno = map_errno(errno);
            break;
        }
        if (k == 0) {
            errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(k);
        if (at) *at += k;
    }
    return done;
}

ssize_t read_some(int fd, char* p, size_t n) {
    for (;;) {
        ssize_t k = read(fd, p, n);
        if (k >= 0 || errno != EINTR) {
            if (k < 0) errno = map_errno(errno);
            return k;
        }
    }
}

// Drops text read ahead, putting the descriptor back where the reader stands.
void forget_read_ahead(stream_cookie* c) {
    if (c->raw_len > c->raw_pos) lseek(c->fd, -static_cast<off_t>(c->raw_len - c->raw_pos), SEEK_CUR);
    c->raw_pos = c->raw_len = 0;
}

ssize_t read_text(stream_cookie* c, char* out, size_t size) {
    if (!c->raw) {
        c->raw = static_cast<char*>(malloc(RAW_BUFFER));
        if (!c->raw) {
            errno = ENOMEM;
            return -1;
        }
    }
    size_t made = 0;
    while (made < size && !c->text_ended) {
        if (c->raw_pos == c->raw_len) {
            if (made > 0) break;
            ssize_t k = read_some(c->fd, c->raw, RAW_BUFFER);
            if (k < 0) return -1;
            if (k == 0) break;
            c->raw_pos = 0;
            c->raw_len = static_cast<size_t>(k);
        }
        char ch = c->raw[c->raw_pos];
        if (ch == 0x1A) {
            c->text_ended = 1;
            break;
        }
        if (ch != '\r') {
            out[made++] = ch;
            ++c->raw_pos;
            continue;
        }
        if (c->raw_pos + 1 == c->raw_len) {
            // A CR at the end of what was read: its fate depends on the byte after it.
            c->raw[0] = '\r';
            c->raw_pos = 0;
            c->raw_len = 1;
            ssize_t k = read_some(c->fd, c->raw + 1, RAW_BUFFER - 1);
            if (k < 0) {
                if (made > 0) break;
                return -1;
            }
            c->raw_len += static_cast<size_t>(k);
        }
        if (c->raw_pos + 1 < c->raw_len && c->raw[c->raw_pos + 1] == '\n') {
            out[made++] = '\n';
            c->raw_pos += 2;
        } else {
            out[made++] = '\r';
            ++c->raw_pos;
        }
    }
    return static_cast<ssize_t>(made);
}

ssize_t pread_some(int fd, char* p, size_t n, off_t at) {
    for (;;) {
        ssize_t k = pread(fd, p, n, at);
        if (k >= 0 || errno != EINTR) {
            if (k < 0) errno = map_errno(errno);
            return k;
        }
    }
}

ssize_t read_positioned(stream_cookie* c, char* out, size_t size) {
    if (!c->block) {
        c->block = static_cast<char*>(malloc(BLOCK_CACHE));
        if (!c->block) {
            errno = ENOMEM;
            return -1;
        }
    }
    if (!(c->block_len > 0 && c->pos >= c->block_pos && c->pos < c->block_pos + static_cast<off_t>(c->block_len))) {
        if (size > BLOCK_CACHE) {
            // A read larger than the block goes straight to the caller.
            ssize_t k = pread_some(c->fd, out, size, c->pos);
            if (k > 0) c->pos += k;
            return k;
        }
        ssize_t k = pread_some(c->fd, c->block, BLOCK_CACHE, c->pos);
        if (k <= 0) return k;
        c->block_pos = c->pos;
        c->block_len = static_cast<size_t>(k);
    }
    size_t at = static_cast<size_t>(c->pos - c->block_pos);
    size_t n = c->block_len - at < size ? c->block_len - at : size;
    memcpy(out, c->block + at, n);
    c->pos += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

ssize_t cookie_read(void* cookie, char* buf, size_t size) {
    stream_cookie* c = static_cast<stream_cookie*>(cookie);
    if (int e = fault_check(0)) {
        errno = e;
        return -1;
    }
    if (c->text) return read_text(c, buf, size);
    if (c->positioned) return read_positioned(c, buf, size);
    return read_some(c->fd, buf, size);
}

// Writes n bytes of text with each LF stored as CR LF; answers how many of the n got out whole.
size_t write_text(stream_cookie* c, const char* p, size_t n) {
    char out[2 * TEXT_CHUNK];
    size_t taken = 0;
    while (taken < n) {
        size_t chunk = n - taken < TEXT_CHUNK ? n - taken : TEXT_CHUNK;
        size_t len = 0;
        for (size_t i = 0; i < chunk; ++i) {
            char ch = p[taken + i];
            if (ch == '\n') out[len++] = '\r';
            out[len++] = ch;
        }
        size_t written = write_all(c->fd, out, len);
        if (written == len) {
            taken += chunk;
            continue;
        }
        int saved = errno;
        // Count the characters that reached the file whole.
        size_t raw = 0;
        for (size_t i = 0; i < chunk; ++i) {
            size_t need = p[taken + i] == '\n' ? 2 : 1;
            if (raw + need > written) break;
            raw += need;
            ++taken;
        }
        errno = saved;
        return taken;
    }
    return taken;
}

size_t write_raw(stream_cookie* c, const char* p, size_t n) {
    if (c->text) return write_text(c, p, n);
    if (!c->positioned) return write_all(c->fd, p, n);
    c->block_len = 0;
    return write_all(c->fd, p, n, &c->pos);
}

ssize_t cookie_write(void* cookie, const char* buf, size_t size) {
    stream_cookie* c = static_cast<stream_cookie*>(cookie);
    forget_read_ahead(c);
    if (int e = fault_check(1)) {
        size_t written = 0;
        if (fault_take_short_write()) written = write_raw(c, buf, short_write_part(size));
        errno = e;
        return static_cast<ssize_t>(written);
    }
    size_t written = write_raw(c, buf, size);
    return static_cast<ssize_t>(written);
}

int cookie_seek(void* cookie, off64_t* offset, int whence) {
    stream_cookie* c = static_cast<stream_cookie*>(cookie);
    if (c->positioned) {
        off_t base = whence == SEEK_SET ? 0 : c->pos;
        if (whence == SEEK_END) {
            struct stat st;
            if (fstat(c->fd, &st) != 0) {
                errno = map_errno(errno);
                return -1;
            }
            base = st.st_size;
        }
        if (base + *offset < 0) {
            errno = EINVAL;
            return -1;
        }
        c->pos = base + static_cast<off_t>(*offset);
        *offset = c->pos;
        return 0;
    }
    forget_read_ahead(c);
    off_t pos = lseek(c->fd, static_cast<off_t>(*offset), whence);
    if (pos < 0) {
        errno = map_errno(errno);
        return -1;
    }
    c->text_ended = 0;
    *offset = pos;
    return 0;
}

int cookie_close(void* cookie) {
    stream_cookie* c = static_cast<stream_cookie*>(cookie);
    int fault = fault_check(0);
    int synced = !c->commit || fsync(c->fd) == 0;
    int saved = errno;
    // The descriptor goes whatever happens, so a failed close leaks nothing.
    int rc = close(c->fd);
    if (rc != 0) saved = errno;
    if (!synced && rc == 0) rc = -1;
    free(c->raw);
    free(c->block);
    free(c->buffer);
    free(c);
    if (fault) {
        errno = fault;
        return -1;
    }
    if (rc != 0 && saved != EINTR) {
        errno = map_errno(saved);
        return -1;
    }
    return 0;
}

// Opens the file a Windows path names (found in any letter case; where a listing the name was
// found in has gone stale, looked up again on disk) with flags; a created file is noted in its
// folder's listing. The descriptor with its host path in *p, or -1 with errno.
int open_resolved(const char* path, int flags, std::string* p) {
    path_guard guard;
    *p = resolve_path(path);
    if (p->empty()) {
        errno = ENOENT;
        return -1;
    }
    int fd = open(p->c_str(), flags, 0666);
    if (fd < 0 && errno == ENOENT && resolved_by_trust()) {
        *p = resolve_path_checked(path);
        fd = open(p->c_str(), flags, 0666);
    }
    if (fd < 0) {
        errno = map_errno(errno);
        return -1;
    }
    if (flags & O_CREAT) note_folder_change(*p, 1);
    return fd;
}

}  // namespace

FILE* open_file(const char* path, const char* mode) {
    if (!path || !mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
        fault_check(0);
        errno = EINVAL;
        return nullptr;
    }
    int plus = 0, text = 1, commit = 0;
    for (const char* m = mode + 1; *m; ++m) {
        if (*m == '+') {
            plus = 1;
        } else if (*m == 'b') {
            text = 0;
        } else if (*m == 't') {
            text = 1;
        } else if (*m == 'c') {
            commit = 1;
        } else {
            fault_check(0);
            errno = EINVAL;
            return nullptr;
        }
    }
    int writes = mode[0] != 'r' || plus;
    if (int e = fault_check(writes)) {
        errno = e;
        return nullptr;
    }
    int flags = plus ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;

    // A reader never waits on a FIFO or a device: it is opened without waiting and refused below.
    int reads_only = flags == O_RDONLY;
    std::string p;
    int fd = open_resolved(path, flags | O_CLOEXEC | (reads_only ? O_NONBLOCK : 0), &p);
    if (fd < 0) return nullptr;
    // Writing opens fail on a folder by themselves (EISDIR); a reading one is checked: msvcrt
    // cannot open a folder as a stream, and anything but a plain file is no file to the tools.
    struct stat st;
    if (reads_only && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, O_RDONLY) != 0)) {
        close(fd);
        errno = EACCES;
        return nullptr;
    }
    stream_cookie* c = static_cast<stream_cookie*>(calloc(1, sizeof(stream_cookie)));
    size_t buffer_size = reads_only ? STREAM_BUFFER : WRITE_BUFFER;
    char* buffer = static_cast<char*>(malloc(buffer_size));
    if (!c || !buffer) {
        free(c);
        free(buffer);
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    c->fd = fd;
    c->text = text;
    c->commit = commit;
    c->buffer = buffer;
    c->positioned = !text && mode[0] != 'a';
    char stdio_mode[3] = {mode[0], plus ? '+' : '\0', '\0'};
    cookie_io_functions_t io = {cookie_read, cookie_write, cookie_seek, cookie_close};
    FILE* f = fopencookie(c, stdio_mode, io);
    if (!f) {
        close(fd);
        free(buffer);
        free(c);
        errno = ENOMEM;
        return nullptr;
    }
    setvbuf(f, buffer, _IOFBF, buffer_size);
    return f;
}

// The work file natively: a descriptor written at its positions, closed and then renamed by name
// (the same steps a run cut off between them leaves as Windows does: a whole file under its work
// name, or a file under its own name).
struct work_file {
    int fd;
    std::string work;
};

work_file* create_work_file(const char* work) {
    if (int e = fault_check(1)) {
        errno = e;
        return nullptr;
    }
    std::string p;
    int fd = open_resolved(work, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, &p);
    if (fd < 0) return nullptr;
    work_file* file = new (std::nothrow) work_file{fd, work};
    if (!file) {
        close(fd);
        errno = ENOMEM;
    }
    return file;
}

int write_work_file(work_file* file, uint64_t offset, const void* data, size_t length) {
    off_t at = static_cast<off_t>(offset);
    const char* p = static_cast<const char*>(data);
    if (int e = fault_check(1)) {
        if (fault_take_short_write()) write_all(file->fd, p, short_write_part(length), &at);
        errno = e;
        return -1;
    }
    return write_all(file->fd, p, length, &at) == length ? 0 : -1;
}

int finish_work_file(work_file* file, const char* to) {
    int fault = fault_check(0);
    int closed = close(file->fd);
    int result = 0;
    if (fault || (closed != 0 && errno != EINTR)) {
        errno = fault ? fault : map_errno(errno);
        result = -1;
    } else if (rename_file(file->work.c_str(), to) != 0) {
        result = -2;
    }
    if (result != 0) {
        int saved = errno;
        remove_file(file->work.c_str());
        errno = saved;
    }
    delete file;
    return result;
}

void discard_work_file(work_file* file) {
    close(file->fd);
    int saved = errno;
    remove_file(file->work.c_str());
    errno = saved;
    delete file;
}
