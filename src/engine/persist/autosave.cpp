#include "engine/persist/autosave.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "api/client.h"

namespace engine::trace {
namespace {

constexpr std::string_view LOG_TARGET = "Veltrum::engine::trace";

struct AutosaveJob {
    Session session;
    std::optional<std::filesystem::path> project;
};

using ProcessQueue = AutosaveQueue<AutosaveJob, std::vector<std::string_view>>;

ProcessQueue& process_queue() {
    // Never destroyed: the writer thread lives as long as the process. The
    // writer keeps the compressed traces of its last file, so that after an
    // edit only the traces that changed are compressed again; the file is
    // written from those pieces as they lie (the views stay valid until the
    // next encoding, on this same thread).
    static auto* q = new ProcessQueue(
        AUTOSAVE, **AUTOSAVE_DIR / AUTOSAVE_FILE_NAME,
        [cache = std::make_shared<EncodeCache>()](const AutosaveJob& j) { return j.session.encode_parts(*cache); },
        **AUTOSAVE_DIR / AUTOSAVE_PROJECT_NAME, [](const AutosaveJob& j) -> std::optional<std::string> {
            if (!j.project) return std::nullopt;
            return j.project->string();
        });
    return *q;
}

}  // namespace

// Heap objects that outlive every static destructor: the writer thread may
// still hold them while the process exits.
AutosaveOrder& AUTOSAVE = *new AutosaveOrder;
std::atomic<std::uint64_t>& AUTOSAVE_GENERATION = AUTOSAVE.generation;
AutosaveFileLock& AUTOSAVE_FILE_LOCK = AUTOSAVE.file;
const AutosaveDir AUTOSAVE_DIR;

base::Result<void> autosave_write(const std::filesystem::path& p, const std::string& bytes) {
    return api::client::write_atomic(p, bytes);
}

base::Result<void> autosave_write(const std::filesystem::path& p, const std::vector<std::string_view>& parts) {
    return api::client::write_atomic(p, parts);
}

void autosave_remove_file(const std::filesystem::path& p) {
    if (::unlink(p.c_str()) != 0 && errno != ENOENT) {
        const std::string text = api::client::os_error_text(errno);
        base::log::warn(LOG_TARGET, "autosave: " + text);
    }
}

std::optional<std::filesystem::path> take_autosave_lock(const std::filesystem::path& dir) {
    const auto lock_path = dir / AUTOSAVE_LOCK_NAME;
    // Never through a link (the file it points to would be truncated), never
    // waiting on a FIFO, and only a regular file of our own is emptied.
    const int fd = ::open(lock_path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st {};
    std::string refused;
    if (fd < 0) refused = api::client::os_error_text(errno);
    else if (::fstat(fd, &st) != 0) refused = api::client::os_error_text(errno);
    else if (!S_ISREG(st.st_mode)) refused = "not a regular file";
    if (!refused.empty()) {
        if (fd >= 0) ::close(fd);
        base::log::warn(LOG_TARGET, "autosave: off, no lock file: " + refused);
        return std::nullopt;
    }
    if (st.st_nlink == 1 && st.st_size > 0) {
        // A failure is harmless: the file's content is never read.
        [[maybe_unused]] const int rc = ::ftruncate(fd, 0);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        base::log::warn(LOG_TARGET, "autosave: off, another instance is running");
        ::close(fd);
        return std::nullopt;
    }
    // The descriptor stays open, and the lock held, until the process ends.
    return dir;
}

const std::optional<std::filesystem::path>& AutosaveDir::get() const {
    static const std::optional<std::filesystem::path> dir = []() -> std::optional<std::filesystem::path> {
        auto data = api::client::Product::config_dir("veltrum");
        if (!data) return std::nullopt;
        return take_autosave_lock(*data);
    }();
    return dir;
}

void autosave(Session session, std::optional<std::filesystem::path> project) {
    if (!AUTOSAVE_DIR.on()) return;
    process_queue().queue(AutosaveJob{std::move(session), std::move(project)});
}

void remove_autosave() {
    if (!AUTOSAVE_DIR.on()) return;
    process_queue().remove();
}

void remove_kept_autosave() {
    if (!AUTOSAVE_DIR.on()) return;
    autosave_remove_file(**AUTOSAVE_DIR / AUTOSAVE_KEPT_NAME);
    autosave_remove_file(**AUTOSAVE_DIR / AUTOSAVE_KEPT_PROJECT_NAME);
}

void autosave_wait_idle() {
    if (!AUTOSAVE_DIR.on()) return;
    process_queue().wait_idle();
}

}  // namespace engine::trace
