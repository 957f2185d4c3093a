#include "api/client.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <expected>
#include <vector>

#include <fmt/format.h>

namespace api::client {
namespace {

std::optional<std::filesystem::path> home_dir() {
    if (const char* h = std::getenv("HOME"); h && *h) return std::filesystem::path(h);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir &&
        *result->pw_dir)
        return std::filesystem::path(result->pw_dir);
    return std::nullopt;
}

// mkdir -p with 0777 reduced by the umask; nothing when the folder exists,
// else the errno of the failure.
std::optional<int> create_dirs(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return ec.value() != 0 ? ec.value() : EIO;
    if (std::filesystem::is_directory(dir, ec)) return std::nullopt;
    return ec ? ec.value() : ENOTDIR;
}

// Where a write to `path` lands: the path itself, or for a symbolic link
// the file at the end of its chain of links (which need not exist yet).
// Gives the path unchanged when the chain cannot be followed (a loop, an
// unreadable link); the write then replaces the link as before.
std::filesystem::path write_target(const std::filesystem::path& path) {
    std::filesystem::path at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        std::error_code ec;
        const auto next = std::filesystem::read_symlink(at, ec);
        if (ec) return path;
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    return path;
}

// Writes every part in order with as few calls as the system allows,
// repeating interrupted calls. Every few MiB the system is asked to start
// writing the pages out, so that the disk works while the rest is copied
// and the sync at the end has little left to wait for. Gives the errno of a
// failed call, or 0 for a call that accepted nothing.
std::expected<void, int> write_all(int fd, std::span<const std::string_view> parts) {
    constexpr std::size_t CHUNK = std::size_t{4} << 20;
    // Slices of at most CHUNK bytes; each call writes slices until about
    // CHUNK bytes are reached.
    std::vector<iovec> iov;
    iov.reserve(parts.size());
    for (auto p : parts)
        for (std::size_t at = 0; at < p.size(); at += CHUNK)
            iov.push_back({const_cast<char*>(p.data() + at), std::min(CHUNK, p.size() - at)});
    const std::size_t max_iov = static_cast<std::size_t>(std::clamp<long>(::sysconf(_SC_IOV_MAX), 1, 1024));
    std::size_t first = 0;  // the first slice not yet written whole
    off_t done = 0;         // bytes written
    off_t started = 0;      // bytes whose writing out has been asked for
    while (first < iov.size()) {
        std::size_t count = 0;
        std::size_t bytes = 0;
        while (first + count < iov.size() && count < max_iov && bytes < CHUNK) bytes += iov[first + count++].iov_len;
        const ssize_t n = ::writev(fd, iov.data() + first, static_cast<int>(count));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) return std::unexpected(0);
        done += n;
        for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
            iovec& v = iov[first];
            const std::size_t take = std::min(left, v.iov_len);
            v.iov_base = static_cast<char*>(v.iov_base) + take;
            v.iov_len -= take;
            left -= take;
            if (v.iov_len == 0) ++first;
        }
        if (done - started >= static_cast<off_t>(CHUNK)) {
            // Only a hint: a failure to write out shows, and counts, at the sync.
            (void)::sync_file_range(fd, started, done - started, SYNC_FILE_RANGE_WRITE);
            started = done;
        }
    }
    return {};
}

}  // namespace

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

std::string bundle_id(std::string_view product_id) {
    std::string id(product_id);
    for (char& c : id)
        if (c == ' ') c = '-';
    std::string out;
    for (std::string_view part : {QUALIFIER, ORGANIZATION, std::string_view(id)}) {
        if (part.empty()) continue;
        if (!out.empty()) out += '.';
        out += part;
    }
    return out;
}

base::Result<std::filesystem::path> Product::data_dir(std::string_view product_id) {
    std::filesystem::path base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg && std::filesystem::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        auto home = home_dir();
        if (!home) return base::fail(std::string(NO_HOME_FOLDER));
        base = *home / ".local" / "share";
    }
    const auto dir = base / bundle_id(product_id);
    if (auto err = create_dirs(dir)) return base::fail(dir.string() + ": " + os_error_text(*err));
    return dir;
}

std::optional<std::filesystem::path> Product::config_dir(std::string_view product_id) {
    auto dir = data_dir(product_id);
    if (!dir) return std::nullopt;
    return std::move(*dir);
}

base::Result<int> open_regular(const std::filesystem::path& path, int* err) {
    auto fail_with = [&](int e) -> base::Result<int> {
        if (err) *err = e;
        return base::fail(os_error_text(e));
    };
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return fail_with(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return fail_with(e);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) return fail_with(EISDIR);
        if (err) *err = EINVAL;
        return base::fail("not a regular file");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

base::Result<std::string> read_file(const std::filesystem::path& path, std::size_t cap, int* err) {
    auto fd = open_regular(path, err);
    if (!fd) return base::fail(fd.error());
    std::string bytes;
    char buf[65536];
    for (;;) {
        const std::size_t want = std::min(sizeof buf, cap + 1 - std::min(bytes.size(), cap));
        const ssize_t n = ::read(*fd, buf, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(*fd);
            if (err) *err = e;
            return base::fail(os_error_text(e));
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > cap) {
            ::close(*fd);
            if (err) *err = EFBIG;
            return base::fail(fmt::format("file larger than {} MB", cap >> 20));
        }
    }
    ::close(*fd);
    return bytes;
}

namespace {

// The process id of a temporary file's name "<name>.<pid>.tmp" and the
// length of "<name>"; nothing for any other name.
std::optional<std::pair<pid_t, std::size_t>> temporary_of(std::string_view file) {
    constexpr std::string_view SUFFIX = ".tmp";
    if (!file.ends_with(SUFFIX)) return std::nullopt;
    const std::string_view rest = file.substr(0, file.size() - SUFFIX.size());
    const auto dot = rest.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    const std::string_view digits = rest.substr(dot + 1);
    if (digits.empty() || digits.size() > 9 || digits[0] == '0') return std::nullopt;
    pid_t pid = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    return std::pair{pid, dot};
}

bool process_alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

std::vector<std::filesystem::path> remove_stale_temporaries(const std::filesystem::path& folder,
                                                            const std::function<bool(std::string_view)>& ours) {
    std::vector<std::filesystem::path> removed;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& p = it->path();
        const std::string name = p.filename().string();
        const auto tmp = temporary_of(name);
        if (!tmp || tmp->first == ::getpid() || !ours(std::string_view(name).substr(0, tmp->second))) continue;
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        if (process_alive(tmp->first)) continue;
        if (::unlink(p.c_str()) == 0) removed.push_back(p);
    }
    return removed;
}

base::Result<void> write_atomic(const std::filesystem::path& link_or_path, std::string_view bytes) {
    return write_atomic(link_or_path, std::span<const std::string_view>(&bytes, 1));
}

base::Result<void> write_atomic(const std::filesystem::path& link_or_path, std::span<const std::string_view> parts) {
    const std::filesystem::path path = write_target(link_or_path);
    if (path != link_or_path) {
        // Through a link only onto a regular file (or a new one), never onto
        // a device, a FIFO or a folder.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return base::fail("not a regular file");
    }
    const std::string tmp = path.native() + "." + std::to_string(getpid()) + ".tmp";
    auto fail_with = [&](int err) -> base::Result<void> {
        ::unlink(tmp.c_str());
        return base::fail(os_error_text(err));
    };
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail_with(errno);
    if (auto written = write_all(fd, parts); !written) {
        ::close(fd);
        if (written.error() == 0) {
            ::unlink(tmp.c_str());
            return base::fail("failed to write whole buffer");
        }
        return fail_with(written.error());
    }
    // On Linux fsync of the file (and below of its folder) is the full sync;
    // the file is on the disk before the rename can replace the old one.
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        return fail_with(err);
    }
    ::close(fd);
    if (::rename(tmp.c_str(), path.c_str()) != 0) return fail_with(errno);
    // The rename itself is made durable by the sync of the folder.
    const auto parent = path.parent_path();
    if (!parent.empty()) {
        const int dfd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            do rc = ::fsync(dfd);
            while (rc != 0 && errno == EINTR);
            ::close(dfd);
        }
    }
    return {};
}

}  // namespace api::client
