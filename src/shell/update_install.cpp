#include "shell/update_install.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

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

base::Result<void> write_file(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return base::fail(errno_text());
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            return base::fail(os_error_text(err));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) return base::fail(errno_text());
    return {};
}

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

// True when `bin` holds nothing but the program: a prefix shared with other
// programs (/usr, /usr/local) is never swapped as a whole.
bool bin_holds_only(const fs::path& bin, const std::string& program) {
    std::error_code ec;
    for (fs::directory_iterator it(bin, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename() != program) return false;
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

base::Result<Restart> stage(const fs::path& image, std::string_view bytes, std::string_view product_id,
                            const StageOptions& options) {
    const std::string id(product_id);
    const fs::path download_dir = image.parent_path();
    const fs::path unpacked = download_dir / (id + "-update-mount");
    std::error_code ignored;

    if (auto w = write_file(image, bytes); !w) return base::fail(w.error());
    fs::remove_all(unpacked, ignored);
    if (::mkdir(unpacked.c_str(), 0700) != 0) return base::fail(errno_text());
    if (auto r = run("tar", {"-xzf", image.native(), "-C", unpacked.native(), "--no-same-owner"}); !r)
        return base::fail(r.error());

    // From here on every outcome leaves nothing behind in the download folder.
    auto finish = [&](base::Result<Restart> result) {
        std::error_code e;
        fs::remove_all(unpacked, e);
        ::unlink(image.c_str());
        ::rmdir(download_dir.c_str());  // only when empty
        return result;
    };

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

base::Result<std::string> download_step(Product product, UpdateInfo info, HttpClient http) {
    return download(product, info, http);
}

base::Result<std::string> verify_step(Product product, UpdateInfo info, std::shared_ptr<const std::string> image,
                                      VerifyingKey key) {
    return verify(product.version_epoch, product.platform, info, *image, key);
}

base::Result<Restart> stage_step(std::shared_ptr<StagingMark> /*held until staging has ended*/,
                                 std::shared_ptr<const std::string> image, std::string name, std::string id,
                                 StageOptions options) {
    auto dir = private_temp_dir(id);
    if (!dir) return base::fail(dir.error());
    return stage(*dir / name, *image, id, options);
}

}  // namespace

reactive::Task<base::Result<std::optional<UpdateInfo>>> check(Product product, HttpClient client) {
    co_return co_await reactive::spawn_blocking(fetch_latest_step, product, client);
}

reactive::Task<std::string> download_and_install_with(Product product, UpdateInfo info,
                                                      std::function<void()> before_relaunch,
                                                      InstallOptions options) {
    auto body = co_await reactive::spawn_blocking(download_step, product, info, options.http);
    if (!body) co_return body.error();

    const auto key = verifying_key_from_b64(options.release_key);
    if (!key) co_return std::string(NO_RELEASE_KEY);

    const auto image = std::make_shared<const std::string>(std::move(*body));
    auto name = co_await reactive::spawn_blocking(verify_step, product, info, image, *key);
    if (!name) co_return name.error();

    // Marked here, before the work is handed over, and held by the work itself
    // until it has ended, even if this task is abandoned meanwhile.
    const auto mark = std::make_shared<StagingMark>();
    auto restart = co_await reactive::spawn_blocking(stage_step, mark, image, *name, std::string(product.id),
                                                     options.stage);
    if (!restart) co_return restart.error();

    if (before_relaunch) before_relaunch();
    co_return options.relaunch ? options.relaunch(*restart) : restart->run();
}

}  // namespace api::client::update
