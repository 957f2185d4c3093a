#include "shell/update_install.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstring>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>

#include <fmt/format.h>

#include "api/client.h"
#include "api/crypto.h"
#include "base/utf8.h"

extern char** environ;

namespace fs = std::filesystem;

namespace api::client::update {
namespace {

std::atomic<int> g_staging{0};

// Marks staging for its lifetime.
struct StagingMark {
    StagingMark() { ++g_staging; }
    ~StagingMark() { --g_staging; }
    StagingMark(const StagingMark&) = delete;
    StagingMark& operator=(const StagingMark&) = delete;
};

std::string errno_text() { return os_error_text(errno); }

// The argument vector of posix_spawn: pointers into `args`, then null.
std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Reads both pipes to their ends.
void drain(int out_fd, int err_fd, std::string& err_text) {
    std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
    int open_count = 2;
    std::array<char, 4096> buf{};
    while (open_count > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (auto& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(p.fd, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                p.fd = -1;
                --open_count;
            } else if (p.fd == err_fd) {
                err_text.append(buf.data(), static_cast<std::size_t>(n));
            }
        }
    }
}

base::Result<fs::path> proc_self_exe() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return base::fail(os_error_text(ec.value()));
    return p;
}

// True when `bin` holds nothing but the program and the assets folder it
// serves its pages from: a prefix shared with other programs (/usr,
// /usr/local) is never swapped as a whole.
bool bin_holds_only(const fs::path& bin, const std::string& program) {
    std::error_code ec;
    for (fs::directory_iterator it(bin, ec), end; !ec && it != end; it.increment(ec)) {
        const auto name = it->path().filename();
        if (name != program && name != ASSETS_FOLDER) return false;
    }
    return !ec;
}

}  // namespace

fs::path user_temp_dir() {
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* v = std::getenv(var);
        if (v && *v && fs::path(v).is_absolute()) return fs::path(v);
    }
    return fs::path("/tmp");
}

base::Result<fs::path> private_temp_dir(std::string_view product_id) {
    const fs::path root = user_temp_dir();
    const std::string prefix = std::string(product_id) + "-dl-";

    // Leftovers of earlier installations: only real folders of this user.
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const auto name = base::utf8::lossy(it->path().filename().native());
        if (!name.starts_with(prefix)) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }

    std::array<unsigned char, 8> random{};
    if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size()))
        return base::fail(errno_text());
    const fs::path dir =
        root / (prefix + api::hex(std::string_view(reinterpret_cast<const char*>(random.data()), random.size())));
    // Created exclusively, like mkdtemp: a name that exists already fails.
    if (::mkdir(dir.c_str(), 0700) != 0) return base::fail(errno_text());
    return dir;
}

base::Result<void> run(std::string_view program, const std::vector<std::string>& args) {
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (::pipe2(out.data(), O_CLOEXEC) != 0) return base::fail(fmt::format("{}: {}", program, errno_text()));
    if (::pipe2(err.data(), O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(out[0]);
        ::close(out[1]);
        return base::fail(fmt::format("{}: {}", program, os_error_text(e)));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<std::string> all{std::string(program)};
    all.insert(all.end(), args.begin(), args.end());
    auto argv = argv_of(all);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return base::fail(fmt::format("{}: {}", program, os_error_text(rc)));
    }
    std::string err_text;
    drain(out[0], err[0], err_text);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return base::fail(fmt::format("{} failed: {}", program, base::utf8::lossy(err_text)));
    return {};
}

// ---- the image, read before it is unpacked ---------------------------------

namespace {

constexpr std::size_t BLOCK = 512;
// Names and pax records are small: more than this is not a program folder.
constexpr std::size_t METADATA_LIMIT = std::size_t{1} << 20;

std::string image_text(std::string_view what) { return fmt::format("update image {}", what); }

// A number field of a tar header: octal digits (spaces and NULs around
// them), or the base-256 form of large values.
std::optional<std::uint64_t> tar_number(const char* field, std::size_t len) {
    const auto* b = reinterpret_cast<const unsigned char*>(field);
    if (b[0] & 0x80) {
        if (b[0] != 0x80) return std::nullopt;  // negative, or too large
        std::uint64_t v = 0;
        for (std::size_t i = 1; i < len; ++i) {
            if (v >> 56) return std::nullopt;
            v = (v << 8) | b[i];
        }
        return v;
    }
    std::size_t i = 0;
    while (i < len && (field[i] == ' ' || field[i] == '\0')) ++i;
    std::uint64_t v = 0;
    bool any = false;
    for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v >> 60) return std::nullopt;
        v = v * 8 + static_cast<std::uint64_t>(field[i] - '0');
        any = true;
    }
    for (; i < len; ++i)
        if (field[i] != ' ' && field[i] != '\0') return std::nullopt;
    return any ? std::optional(v) : std::optional<std::uint64_t>(0);
}

std::string field_text(const char* field, std::size_t len) { return std::string(field, ::strnlen(field, len)); }

// The components of a "/"-separated path, without empty and "." ones.
std::vector<std::string_view> steps_of(std::string_view path) {
    std::vector<std::string_view> steps;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == path.npos) j = path.size();
        const auto step = path.substr(i, j - i);
        if (!step.empty() && step != ".") steps.push_back(step);
        i = j + 1;
    }
    return steps;
}

// The path's components; nothing when it is absolute or has a ".."
// component.
std::optional<std::vector<std::string>> components_inside(std::string_view path) {
    if (path.starts_with('/')) return std::nullopt;
    std::vector<std::string> parts;
    for (auto step : steps_of(path)) {
        if (step == "..") return std::nullopt;
        parts.emplace_back(step);
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

struct Entry {
    std::vector<std::string> path;
    std::string link;  // the target of a symbolic link
    bool is_link = false;
};

// The decompressed tar stream, read block by block.
class TarStream {
public:
    explicit TarStream(gzFile f) : f_(f) {}
    // Reads exactly n bytes; false at the end of the stream or on an error.
    bool read(char* out, std::size_t n) {
        while (n > 0) {
            const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(n, 1 << 20));
            const int got = gzread(f_, out, chunk);
            if (got <= 0) return false;
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    bool skip(std::uint64_t n) {
        std::array<char, 65536> buf{};
        while (n > 0) {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, buf.size()));
            if (!read(buf.data(), take)) return false;
            n -= take;
        }
        return true;
    }

private:
    gzFile f_;
};

constexpr std::uint64_t padded(std::uint64_t n) { return (n + BLOCK - 1) / BLOCK * BLOCK; }

// Applies the records of a pax extended header to the next entry.
base::Result<void> read_pax(std::string_view data, std::optional<std::string>& path, std::optional<std::string>& link,
                            std::optional<std::uint64_t>& size) {
    static constexpr std::string_view HARMLESS[] = {"mtime", "atime", "ctime", "uid",     "gid",
                                                    "uname", "gname", "comment", "charset", "hdrcharset"};
    while (!data.empty()) {
        const auto sp = data.find(' ');
        std::uint64_t len = 0;
        if (sp == data.npos ||
            std::from_chars(data.data(), data.data() + sp, len).ptr != data.data() + sp || len <= sp + 1 ||
            len > data.size() || data[len - 1] != '\n')
            return base::fail(image_text("is damaged"));
        const auto record = data.substr(sp + 1, len - sp - 2);
        data.remove_prefix(len);
        const auto eq = record.find('=');
        if (eq == record.npos) return base::fail(image_text("is damaged"));
        const auto key = record.substr(0, eq);
        const auto value = record.substr(eq + 1);
        if (key == "path") path = std::string(value);
        else if (key == "linkpath") link = std::string(value);
        else if (key == "size") {
            std::uint64_t v = 0;
            if (std::from_chars(value.data(), value.data() + value.size(), v).ptr != value.data() + value.size())
                return base::fail(image_text("is damaged"));
            size = v;
        } else if (std::find(std::begin(HARMLESS), std::end(HARMLESS), key) == std::end(HARMLESS)) {
            return base::fail(image_text(fmt::format("uses a tar extension that is not admitted: {}",
                                                     base::utf8::lossy(key))));
        }
    }
    return {};
}

base::Result<std::vector<Entry>> read_entries(gzFile f, std::uint64_t limit) {
    TarStream in(f);
    std::vector<Entry> entries;
    std::uint64_t consumed = 0;
    std::optional<std::string> long_name, long_link, pax_path, pax_link;
    std::optional<std::uint64_t> pax_size;
    bool first = true;
    for (;;) {
        std::array<char, BLOCK> h{};
        if (consumed + BLOCK > limit) return base::fail(image_text(fmt::format("unpacks to more than {} bytes", limit)));
        if (!in.read(h.data(), BLOCK)) return base::fail(image_text(first ? "is not a gzip-compressed tar archive"
                                                                            : "is damaged"));
        if (first && gzdirect(f)) return base::fail(image_text("is not a gzip-compressed tar archive"));
        first = false;
        consumed += BLOCK;
        if (std::all_of(h.begin(), h.end(), [](char c) { return c == 0; })) break;  // the end marker

        // The header's checksum: its bytes summed with the checksum field as spaces.
        const auto stated = tar_number(h.data() + 148, 8);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < BLOCK; ++i)
            sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
        if (!stated || *stated != sum) return base::fail(image_text("is not a gzip-compressed tar archive"));

        const char type = h[156];
        auto size = tar_number(h.data() + 124, 12);
        const auto mode = tar_number(h.data() + 100, 8);
        if (!size || !mode) return base::fail(image_text("is damaged"));
        if (type == '0' || type == '\0') {
            if (pax_size) size = pax_size;
        }
        const std::uint64_t data_size = (type == '5' || type == '2') ? 0 : *size;
        if (data_size > limit || consumed + padded(data_size) > limit)
            return base::fail(image_text(fmt::format("unpacks to more than {} bytes", limit)));

        if (type == 'L' || type == 'K' || type == 'x') {
            if (data_size > METADATA_LIMIT) return base::fail(image_text("is damaged"));
            std::string data(static_cast<std::size_t>(data_size), '\0');
            if (!in.read(data.data(), data.size()) || !in.skip(padded(data_size) - data_size))
                return base::fail(image_text("is damaged"));
            consumed += padded(data_size);
            if (type == 'x') {
                if (auto r = read_pax(data, pax_path, pax_link, pax_size); !r) return base::fail(r.error());
            } else {
                (type == 'L' ? long_name : long_link) = data.substr(0, ::strnlen(data.data(), data.size()));
            }
            continue;
        }

        std::string name = field_text(h.data(), 100);
        if (std::string_view(h.data() + 257, 6) == std::string_view("ustar\0", 6)) {
            const std::string prefix = field_text(h.data() + 345, 155);
            if (!prefix.empty()) name = prefix + "/" + name;
        }
        if (long_name) name = *long_name;
        if (pax_path) name = *pax_path;
        std::string link = field_text(h.data() + 157, 100);
        if (long_link) link = *long_link;
        if (pax_link) link = *pax_link;
        long_name.reset();
        long_link.reset();
        pax_path.reset();
        pax_link.reset();
        pax_size.reset();
        std::string shown = base::utf8::lossy(name);
        while (shown.size() > 1 && shown.ends_with('/')) shown.pop_back();

        if (type != '0' && type != '\0' && type != '5' && type != '2')
            return base::fail(image_text(fmt::format("holds {}, which is not a regular file, folder or link", shown)));
        if (type != '2' && (*mode & (S_ISUID | S_ISGID)))
            return base::fail(image_text(fmt::format("holds {} with the setuid or setgid bit", shown)));
        auto parts = name.find('\0') == std::string::npos ? components_inside(name) : std::nullopt;
        if (!parts) return base::fail(image_text(fmt::format("holds {}, outside the image", shown)));
        if (parts->empty() && type != '5')
            return base::fail(image_text(fmt::format("holds {}, outside the image", shown)));
        if (!in.skip(padded(data_size))) return base::fail(image_text("is damaged"));
        consumed += padded(data_size);
        if (parts->empty()) continue;  // the top folder itself, "./"
        entries.push_back(Entry{std::move(*parts), type == '2' ? link : std::string(), type == '2'});
    }
    return entries;
}

// Where the entries may lead: no entry twice, none below a link, and every
// link to a place inside the image that passes through no other link.
base::Result<void> check_entries(const std::vector<Entry>& entries) {
    std::set<std::string> paths, links;
    for (const auto& e : entries) {
        const auto p = joined(e.path, e.path.size());
        if (!paths.insert(p).second)
            return base::fail(image_text(fmt::format("holds {} twice", base::utf8::lossy(p))));
        if (e.is_link) links.insert(p);
    }
    for (const auto& e : entries) {
        const auto shown = base::utf8::lossy(joined(e.path, e.path.size()));
        // Unpacked through a link, it would land wherever the link leads.
        for (std::size_t n = 1; n < e.path.size(); ++n)
            if (links.contains(joined(e.path, n)))
                return base::fail(image_text(fmt::format("holds {}, outside the image", shown)));
        if (!e.is_link) continue;
        auto leads_outside = [&] {
            // tar would cut a name at a NUL: what it made of it is not what was checked.
            if (e.link.empty() || e.link.starts_with('/') || e.link.find('\0') != std::string::npos) return true;
            std::vector<std::string> at(e.path.begin(), e.path.end() - 1);
            const auto steps = steps_of(e.link);
            for (std::size_t k = 0; k < steps.size(); ++k) {
                if (steps[k] == "..") {
                    if (at.empty()) return true;
                    at.pop_back();
                    continue;
                }
                at.emplace_back(steps[k]);
                // A link on the way could lead anywhere its own target says.
                if (k + 1 < steps.size() && links.contains(joined(at, at.size()))) return true;
            }
            return false;
        };
        if (leads_outside())
            return base::fail(image_text(fmt::format("holds {}, a link leading outside the image", shown)));
    }
    return {};
}

}  // namespace

base::Result<void> check_image(const fs::path& image, std::uint64_t limit) {
    const int fd = ::open(image.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return base::fail(errno_text());
    gzFile f = gzdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        return base::fail(image_text("is not a gzip-compressed tar archive"));
    }
    gzbuffer(f, 1 << 17);
    auto entries = read_entries(f, limit);
    gzclose(f);
    if (!entries) return base::fail(entries.error());
    return check_entries(*entries);
}

// ---- one installation at a time ---------------------------------------------

base::Result<InstallLock> InstallLock::take(std::string_view product_id) {
    const fs::path path = user_temp_dir() / lock_file_name(product_id);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return base::fail(errno_text());
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return base::fail(std::string(ALREADY_INSTALLING));
        return base::fail(os_error_text(err));
    }
    return InstallLock(fd);
}

InstallLock::~InstallLock() {
    if (fd_ >= 0) ::close(fd_);
}

fs::path Restart::program() const { return folder / "bin" / product_id; }

base::Result<pid_t> Restart::start() const {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The new instance must not inherit our files (the autosave lock above all).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> all{"sh", "-c", "sleep 1; exec \"$0\"", program().native()};
    auto argv = argv_of(all);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "sh", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return base::fail(os_error_text(rc));
    return pid;
}

std::string Restart::run() const {
    auto started = start();
    if (!started) return started.error();
    ::_exit(0);
}

base::Result<Restart> stage(const fs::path& image, std::string_view product_id, const StageOptions& options) {
    const std::string id(product_id);
    const fs::path download_dir = image.parent_path();
    const fs::path unpacked = download_dir / unpack_folder_name(id);
    std::error_code ignored;

    // Every outcome leaves nothing behind in the download folder, which is
    // then removed: it holds only what the installation wrote.
    auto finish = [&](base::Result<Restart> result) {
        std::error_code e;
        fs::remove_all(unpacked, e);
        ::unlink(image.c_str());
        ::rmdir(download_dir.c_str());  // only when empty
        return result;
    };

    struct stat st {};
    if (::lstat(image.c_str(), &st) != 0) return finish(base::fail(errno_text()));
    if (auto checked = check_image(image, unpack_limit(static_cast<std::uint64_t>(st.st_size))); !checked)
        return finish(base::fail(checked.error()));
    fs::remove_all(unpacked, ignored);
    if (::mkdir(unpacked.c_str(), 0700) != 0) return finish(base::fail(errno_text()));
    // The owner is the running user, the modes are those of the image less
    // the umask (no setuid or setgid bit got this far).
    if (auto r = run("tar", {"-xzf", image.native(), "-C", unpacked.native(), "--no-same-owner",
                             "--no-same-permissions"});
        !r)
        return finish(base::fail(r.error()));

    // The new program folder: the first folder holding bin/<product id>.
    std::optional<fs::path> fresh;
    std::error_code ec;
    for (fs::directory_iterator it(unpacked, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e;
        if (fs::symlink_status(it->path(), e).type() == fs::file_type::directory &&
            fs::is_regular_file(it->path() / "bin" / id, e)) {
            fresh = it->path();
            break;
        }
    }
    if (ec) return finish(base::fail(os_error_text(ec.value())));
    if (!fresh) return finish(base::fail("no program folder found in update image"));

    auto exe = options.running_executable ? options.running_executable() : proc_self_exe();
    if (!exe) return finish(base::fail(exe.error()));
    const fs::path folder = exe->parent_path().parent_path();
    if (!exe->is_absolute() || exe->filename() != id || exe->parent_path().filename() != "bin" ||
        !folder.has_filename() || !bin_holds_only(exe->parent_path(), id))
        return finish(base::fail("running binary is not inside a program folder"));

    const fs::path staging = folder.native() + ".new";
    const fs::path old = folder.native() + ".old";
    fs::remove_all(staging, ignored);
    fs::remove_all(old, ignored);

    if (auto r = run("cp", {"-a", fresh->native(), staging.native()}); !r) {
        fs::remove_all(staging, ignored);
        return finish(base::fail(r.error()));
    }
    if (::rename(folder.c_str(), old.c_str()) != 0) {
        const auto text = errno_text();
        fs::remove_all(staging, ignored);
        return finish(base::fail(fmt::format("swap out old bundle: {}", text)));
    }
    if (::rename(staging.c_str(), folder.c_str()) != 0) {
        const auto text = errno_text();
        ::rename(old.c_str(), folder.c_str());
        fs::remove_all(staging, ignored);
        return finish(base::fail(fmt::format("swap in new bundle: {}", text)));
    }
    fs::remove_all(old, ignored);
    return finish(Restart{folder, id});
}

bool is_staging() { return g_staging.load() > 0; }

namespace {

// The steps that run on the blocking pool. Their arguments arrive by value.
base::Result<std::optional<UpdateInfo>> fetch_latest_step(Product product, HttpClient client) {
    return fetch_latest(product, client);
}

// Everything between the checked record and the relaunch, on one thread of
// the blocking pool: the lock, the private folder, the download into it, the
// check of what arrived and the staging. Every failure removes the private
// folder it made.
base::Result<Restart> install_step(std::shared_ptr<StagingMark> /*held until this has ended*/, Product product,
                                   UpdateInfo info, std::string name, VerifyingKey key, HttpClient http,
                                   StageOptions options) {
    const std::string id(product.id);
    auto lock = InstallLock::take(id);
    if (!lock) return base::fail(lock.error());
    auto dir = private_temp_dir(id);
    if (!dir) return base::fail(dir.error());
    const fs::path image = *dir / name;
    auto fail_clean = [&](std::string text) -> base::Result<Restart> {
        std::error_code ignored;
        fs::remove_all(*dir, ignored);
        return base::fail(std::move(text));
    };
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return fail_clean(errno_text());
    auto got = download(product, info, fd, http);
    const int closed = ::close(fd);
    const int close_err = errno;
    if (!got) return fail_clean(got.error());
    if (closed != 0) return fail_clean(os_error_text(close_err));
    if (auto v = verify_image(info, *got, key); !v) return fail_clean(v.error());
    return stage(image, id, options);
}

}  // namespace

reactive::Task<base::Result<std::optional<UpdateInfo>>> check(Product product, HttpClient client) {
    co_return co_await reactive::spawn_blocking(fetch_latest_step, product, client);
}

reactive::Task<std::string> download_and_install_with(Product product, UpdateInfo info,
                                                      std::function<void()> before_relaunch,
                                                      InstallOptions options) {
    // The record is checked before a byte of its image is fetched: only a
    // signed record's size bounds the download.
    const auto key = verifying_key_from_b64(options.release_key);
    if (!key) co_return std::string(NO_RELEASE_KEY);
    if (auto r = verify_record(product.version_epoch, product.platform, info, *key); !r) co_return r.error();
    auto name = image_file_name(info, product.id);
    if (!name) co_return name.error();

    // Marked here, before the work is handed over, and held by the work itself
    // until it has ended, even if this task is abandoned meanwhile.
    const auto mark = std::make_shared<StagingMark>();
    auto restart = co_await reactive::spawn_blocking(install_step, mark, product, info, *name, *key, options.http,
                                                     options.stage);
    if (!restart) co_return restart.error();

    if (before_relaunch) before_relaunch();
    co_return options.relaunch ? options.relaunch(*restart) : restart->run();
}

}  // namespace api::client::update
