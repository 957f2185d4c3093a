// Installing an update over a program folder made by the test, with the real
// tar and cp; stand-ins on PATH only make one step fail or record the
// relaunch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "api/tests/update_support.h"
#include "base/tests/support.h"
#include "reactive/root.h"
#include "reactive/task.h"
#include "shell/update_install.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
namespace update = api::client::update;
using api::client::PRODUCT;
using test_support::Env;
using test_support::slurp;
using test_support::spit;
using update_support::LocalServer;
using update_support::ReleaseKeys;

namespace {

void make_executable(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    spit(p, text);
    ::chmod(p.c_str(), 0755);
}

// A program folder: bin/veltrum and an asset telling its version.
void make_program(const fs::path& folder, const std::string& version) {
    make_executable(folder / "bin" / "veltrum", "#!/bin/sh\necho " + version + "\n");
    fs::create_directories(folder / "share" / "veltrum");
    spit(folder / "share" / "veltrum" / "version.txt", version);
}

// The first `name` on the original PATH.
std::string real_tool(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    std::size_t i = 0;
    while (i <= path.size()) {
        auto j = path.find(':', i);
        if (j == std::string::npos) j = path.size();
        const fs::path candidate = fs::path(path.substr(i, j - i)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        i = j + 1;
    }
    return name;
}

std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> out;
    std::string text = slurp(p);
    std::size_t i = 0;
    while (i < text.size()) {
        auto j = text.find('\n', i);
        if (j == std::string::npos) j = text.size();
        out.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::vector<std::string> download_folders(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().native().starts_with("veltrum-dl-")) out.push_back(e.path().filename());
    return out;
}

// Turns the loop until `done` holds (work comes back from the blocking pool),
// calling `meanwhile` between turns.
template <class Done>
void drive(reactive::ManualLoop& loop, Done done, const std::function<void()>& meanwhile = {}) {
    for (int i = 0; i < 30000 && !done(); ++i) {
        loop.run_until_idle();
        if (meanwhile) meanwhile();
        if (!done()) std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(done()) << "the task did not end";
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        root = test_support::scratch("update_install", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        program_folder = root / "opt" / "veltrum";
        make_program(program_folder, "old");
        run_dir = root / "run";
        standins = root / "standins";
        fs::create_directories(run_dir);
        fs::create_directories(standins);
        image = pack("veltrum-2027", "new", true);

        server.server.Get(R"(/api/download/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            requested = req.path;
            if (endless) {
                // A body that never ends, as fast as the client reads.
                res.set_chunked_content_provider("application/gzip", [this](std::size_t, httplib::DataSink& sink) {
                    const std::string chunk(1 << 16, 'z');
                    while (!stopping) {
                        if (!sink.write(chunk.data(), chunk.size())) return false;
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // at most 64 MB a second
                    }
                    return false;
                });
                return;
            }
            res.set_content(served, "application/gzip");
        });
        server.start();
        env.emplace_back("VELTRUM_SERVER_URL", server.url().c_str());
        env.emplace_back("XDG_RUNTIME_DIR", run_dir.c_str());
        const std::string path = standins.native() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
        env.emplace_back("PATH", path.c_str());
    }

    // A .tar.gz of a program folder named `name` (without bin/veltrum when
    // `with_program` is false).
    std::string pack(const std::string& name, const std::string& version, bool with_program) {
        const fs::path dir = root / ("pack-" + name);
        fs::remove_all(dir);
        make_program(dir / name, version);
        if (!with_program) fs::remove(dir / name / "bin" / "veltrum");
        const fs::path out = root / (name + ".tar.gz");
        auto r = update::run(real_tool("tar"), {"-czf", out.native(), "-C", dir.native(), name});
        EXPECT_TRUE(r) << (r ? "" : r.error());
        return slurp(out);
    }

    // A .tar.gz of the program folder `name` (version "new") changed by
    // `edit`; `members` (relative to the folder above it) are packed in this
    // order, by default the folder alone; `tar_args` come first.
    std::string pack_edited(const std::string& name, const std::function<void(const fs::path&)>& edit,
                            std::vector<std::string> members = {}, const std::vector<std::string>& tar_args = {}) {
        const fs::path dir = root / ("pack-" + name);
        fs::remove_all(dir);
        make_program(dir / name, "new");
        edit(dir / name);
        const fs::path out = root / (name + ".tar.gz");
        std::vector<std::string> args = tar_args;
        for (const auto& a : {std::string("-czf"), out.native(), std::string("-C"), dir.native()}) args.push_back(a);
        if (members.empty()) members.push_back(name);
        args.insert(args.end(), members.begin(), members.end());
        auto r = update::run(real_tool("tar"), args);
        EXPECT_TRUE(r) << (r ? "" : r.error());
        return slurp(out);
    }

    void standin(const std::string& name, const std::string& body) {
        make_executable(standins / name, "#!/bin/sh\n" + body + "\n");
    }

    update::InstallOptions options() {
        update::InstallOptions o;
        o.release_key = keys.public_b64();
        o.stage.running_executable = [exe = program_folder / "bin" / "veltrum"]() -> base::Result<fs::path> {
            return exe;
        };
        o.relaunch = [this](const update::Restart& r) {
            relaunched = r;
            return std::string("relaunch");
        };
        return o;
    }

    // Runs the installation as a task on a loop of this thread until it
    // returns; `meanwhile` is called between loop turns.
    std::string install(const std::string& bytes, update::InstallOptions o,
                        std::function<void()> meanwhile = {}) {
        served = serve_instead.value_or(bytes);
        const auto info = record_instead.value_or(update_support::signed_record(keys, bytes, PRODUCT.version_epoch + 1));
        reactive::ManualLoop loop;
        reactive::Root ui(loop, nullptr);
        std::optional<std::string> result;
        reactive::spawn_root([](api::UpdateInfo info, update::InstallOptions o, std::optional<std::string>& out,
                                int& stops) -> reactive::Task<> {
            out = co_await update::download_and_install_with(PRODUCT, info, [&stops] { ++stops; }, o);
        }(info, std::move(o), result, before_relaunch_calls));
        drive(loop, [&] { return result.has_value(); }, meanwhile);
        // The staging mark goes with the blocking job, a moment after its
        // result has come back.
        drive(loop, [] { return !update::is_staging(); });
        return result.value_or("");
    }

    std::string version_installed() const { return slurp(program_folder / "share" / "veltrum" / "version.txt"); }
    bool beside(const char* ext) const { return fs::exists(program_folder.native() + ext); }

    fs::path root, program_folder, run_dir, standins;
    std::string image;
    std::string served;
    std::optional<std::string> serve_instead;  // a body other than the signed image
    std::optional<api::UpdateInfo> record_instead;  // a record other than the image's
    std::atomic<bool> endless{false};   // the server sends a body that never ends
    std::atomic<bool> stopping{false};  // ends it
    struct StopServing {
        std::atomic<bool>& flag;
        ~StopServing() { flag = true; }
    };
    std::string requested;
    ReleaseKeys keys;
    LocalServer server;
    StopServing stop_serving{stopping};  // before the server stops
    std::list<Env> env;
    std::optional<update::Restart> relaunched;
    int before_relaunch_calls = 0;
};

}  // namespace

TEST_F(Install, SwapsTheFoldersAndRelaunchesTheNewProgram) {
    // Leftovers of an earlier attempt, and neighbours that are not ours.
    make_program(program_folder.native() + ".new", "half copied");
    fs::create_directories(run_dir / "veltrum-dl-0011223344556677" / "veltrum-update-mount");
    spit(run_dir / "veltrum-dl-0011223344556677" / "old.tar.gz", "x");
    fs::create_directories(run_dir / "other");
    fs::create_directories(root / "elsewhere");
    spit(root / "elsewhere" / "keep.txt", "keep");
    fs::create_directory_symlink(root / "elsewhere", run_dir / "veltrum-dl-link");
    standin("sh", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + (root / "sh-args").native() + "'");

    auto o = options();
    o.relaunch = [this](const update::Restart& r) {
        relaunched = r;
        EXPECT_TRUE(update::is_staging());  // quitting stays refused up to the relaunch
        auto pid = r.start();
        EXPECT_TRUE(pid);
        int status = 0;
        if (pid) ::waitpid(*pid, &status, 0);
        return std::string("relaunch");
    };
    EXPECT_EQ(install(image, o), "relaunch");
    EXPECT_EQ(requested, "/api/download/veltrum-linux/2027.01.02-0304/veltrum-linux.tar.gz");
    EXPECT_EQ(before_relaunch_calls, 1);
    ASSERT_TRUE(relaunched);
    EXPECT_EQ(relaunched->folder, program_folder);
    EXPECT_EQ(relaunched->program(), program_folder / "bin" / "veltrum");
    // The new program under the running folder's name.
    EXPECT_EQ(version_installed(), "new");
    EXPECT_EQ(slurp(program_folder / "bin" / "veltrum"), "#!/bin/sh\necho new\n");
    EXPECT_FALSE(beside(".new"));
    EXPECT_FALSE(beside(".old"));
    // sh -c 'sleep 1; exec "$0"' <folder>/bin/veltrum
    EXPECT_EQ(lines_of(root / "sh-args"),
              (std::vector<std::string>{"-c", "sleep 1; exec \"$0\"", (program_folder / "bin" / "veltrum").native()}));
    // Our download folders are gone; a link of that name and other folders stay.
    EXPECT_EQ(download_folders(run_dir), std::vector<std::string>{"veltrum-dl-link"});
    EXPECT_TRUE(fs::is_directory(run_dir / "other"));
    EXPECT_EQ(slurp(root / "elsewhere" / "keep.txt"), "keep");
}

TEST_F(Install, HostileImagesAreRefusedBeforeUnpacking) {
    const std::string top = "veltrum-2027";
    auto text = [](const std::string& what) { return "update image " + what; };
    const std::string not_admitted = ", which is not a regular file, folder or link";
    struct Case {
        std::string what;
        std::string image;
        std::string failure;
    };
    std::vector<Case> cases = {
        {"a FIFO", pack_edited(top, [](const fs::path& f) { ASSERT_EQ(::mkfifo((f / "bin" / "pipe").c_str(), 0644), 0); }),
         text("holds " + top + "/bin/pipe" + not_admitted)},
        {"a setuid program",
         pack_edited(top, [](const fs::path& f) { ASSERT_EQ(::chmod((f / "bin" / "veltrum").c_str(), 04755), 0); }),
         text("holds " + top + "/bin/veltrum with the setuid or setgid bit")},
        {"a setgid folder",
         pack_edited(top, [](const fs::path& f) { ASSERT_EQ(::chmod((f / "share").c_str(), 02755), 0); }),
         text("holds " + top + "/share with the setuid or setgid bit")},
        {"a hard link",
         pack_edited(top, [](const fs::path& f) { fs::create_hard_link(f / "share" / "veltrum" / "version.txt", f / "bin" / "hard"); },
                     {top + "/share/veltrum/version.txt", top + "/bin/hard"}),
         text("holds " + top + "/bin/hard" + not_admitted)},
        {"a link climbing out",
         pack_edited(top, [](const fs::path& f) { fs::create_symlink("../../..", f / "share" / "up"); }),
         text("holds " + top + "/share/up, a link leading outside the image")},
        {"a link to an absolute path",
         pack_edited(top, [](const fs::path& f) { fs::create_symlink("/etc", f / "etc"); }),
         text("holds " + top + "/etc, a link leading outside the image")},
        {"a link climbing out through another link",
         pack_edited(top, [](const fs::path& f) {
             fs::create_symlink(".", f / "here");
             fs::create_symlink("here/../..", f / "out");
         }),
         text("holds " + top + "/out, a link leading outside the image")},
        {"a file below a link",
         pack_edited(top, [](const fs::path& f) { fs::create_directory_symlink("bin", f / "lib"); },
                     {top, top + "/lib/veltrum"}, {"--hard-dereference"}),
         text("holds " + top + "/lib/veltrum, outside the image")},
        {"a path climbing out",
         pack_edited(top, [](const fs::path&) {}, {}, {"-P", "--transform=s,^" + top + "/share,../share,"}),
         text("holds ../share, outside the image")},
        {"an entry twice", pack_edited(top, [](const fs::path&) {}, {top, top + "/bin/veltrum"}, {"--hard-dereference"}),
         text("holds " + top + "/bin/veltrum twice")},
        {"not a gzip file", "a program folder, honestly", text("is not a gzip-compressed tar archive")},
        {"a sparse file (a tar extension)",
         pack_edited(top, [](const fs::path& f) { fs::resize_file(f / "share" / "veltrum" / "version.txt", 1 << 20); },
                     {}, {"--format=posix", "-S"}),
         text("uses a tar extension that is not admitted: GNU.sparse.major")},
    };
    // 64 MiB of zeros pack into a few dozen KiB.
    const std::string bomb = pack_edited(top, [](const fs::path& f) {
        const int fd = ::open((f / "share" / "zeros").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, std::int64_t{64} << 20), 0);
        ::close(fd);
    });
    cases.push_back({"an entry far larger than the image", bomb,
                     text(fmt::format("unpacks to more than {} bytes", update::unpack_limit(bomb.size())))});
    // Device nodes need the privilege to make them.
    {
        const fs::path probe = root / "probe-device";
        if (::mknod(probe.c_str(), S_IFCHR | 0644, ::makedev(1, 3)) == 0) {
            cases.push_back({"a device node", pack_edited(top, [](const fs::path& f) {
                                 ASSERT_EQ(::mknod((f / "bin" / "null").c_str(), S_IFCHR | 0644, ::makedev(1, 3)), 0);
                             }),
                             text("holds " + top + "/bin/null" + not_admitted)});
        }
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(install(c.image, options()), c.failure);
        EXPECT_EQ(version_installed(), "old");
        EXPECT_FALSE(beside(".new"));
        EXPECT_FALSE(relaunched);
        EXPECT_TRUE(download_folders(run_dir).empty());
    }
}

TEST_F(Install, AnImageWithLinksInsideIsInstalled) {
    // In the POSIX format, with a name too long for the plain header.
    const std::string long_name(150, 'n');
    const std::string linked = pack_edited(
        "veltrum-2027",
        [&](const fs::path& f) {
            fs::create_symlink("version.txt", f / "share" / "veltrum" / "current");
            fs::create_directory_symlink("../share", f / "bin" / "data");
            spit(f / "share" / long_name, "long");
        },
        {}, {"--format=posix"});
    // The running program's bin holds its assets beside it.
    fs::create_directories(program_folder / "bin" / "assets");
    EXPECT_EQ(install(linked, options()), "relaunch");
    EXPECT_EQ(version_installed(), "new");
    EXPECT_EQ(fs::read_symlink(program_folder / "share" / "veltrum" / "current"), "version.txt");
    EXPECT_EQ(slurp(program_folder / "bin" / "data" / "veltrum" / "current"), "new");
    EXPECT_EQ(slurp(program_folder / "share" / long_name), "long");
    EXPECT_TRUE(download_folders(run_dir).empty());
}

TEST_F(Install, NothingIsFetchedForARecordThatDoesNotVerify) {
    struct Case {
        std::string what;
        std::function<void(api::UpdateInfo&)> edit;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"no manifest signature", [](auto& r) { r.manifest_signature.reset(); },
         "update manifest signature verification failed"},
        // A size claimed after signing: the download would be bounded by it.
        {"size changed after signing", [](auto& r) { r.size = std::uint64_t{20} << 30; },
         "update manifest signature verification failed"},
        {"the unpack folder's name", [this](auto& r) {
             r.filename = "veltrum-update-mount";
             r.manifest_signature = keys.sign(update::manifest(*r.platform, r));
         },
         "update has no usable file name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto record = update_support::signed_record(keys, image, PRODUCT.version_epoch + 1);
        c.edit(record);
        record_instead = record;
        requested.clear();
        EXPECT_EQ(install(image, options()), c.failure);
        EXPECT_TRUE(requested.empty()) << "fetched " << requested;
        EXPECT_TRUE(download_folders(run_dir).empty());
        EXPECT_EQ(version_installed(), "old");
    }
}

TEST_F(Install, ASignedHugeSizeWithAnEndlessBodyEndsAtTheTimeLimit) {
    auto record = update_support::signed_record(keys, image, PRODUCT.version_epoch + 1);
    record.size = std::uint64_t{20} << 30;
    record.manifest_signature = keys.sign(update::manifest(*record.platform, record));
    record_instead = record;
    endless = true;
    auto o = options();
    o.http = api::client::HttpClient(1s);
    EXPECT_EQ(install(image, o), "error decoding response body");
    EXPECT_FALSE(requested.empty());
    EXPECT_TRUE(download_folders(run_dir).empty());
    EXPECT_EQ(version_installed(), "old");
}

TEST_F(Install, OneInstallationAtATime) {
    // The first one's copy waits for the test.
    const fs::path go = root / "go";
    const fs::path copying = root / "copying";
    standin("cp", "touch '" + copying.native() + "'; while [ ! -e '" + go.native() + "' ]; do sleep 0.01; done; exec " +
                      real_tool("cp") + " \"$@\"");
    served = image;
    const auto info = update_support::signed_record(keys, image, PRODUCT.version_epoch + 1);
    reactive::ManualLoop loop;
    reactive::Root ui(loop, nullptr);
    std::optional<std::string> first, second;
    auto installing = [](api::UpdateInfo info, update::InstallOptions o,
                         std::optional<std::string>& out) -> reactive::Task<> {
        out = co_await update::download_and_install_with(PRODUCT, info, [] {}, o);
    };
    reactive::spawn_root(installing(info, options(), first));
    drive(loop, [&] { return fs::exists(copying); });
    const auto under_way = download_folders(run_dir);
    ASSERT_EQ(under_way.size(), 1u);

    reactive::spawn_root(installing(info, options(), second));
    drive(loop, [&] { return second.has_value(); });
    EXPECT_EQ(second, "an update is already being installed");
    // The first one's folder is untouched by the second.
    EXPECT_EQ(download_folders(run_dir), under_way);
    EXPECT_FALSE(first);

    spit(go, "");
    drive(loop, [&] { return first.has_value(); });
    drive(loop, [] { return !update::is_staging(); });
    EXPECT_EQ(first, "relaunch");
    EXPECT_EQ(version_installed(), "new");
    EXPECT_TRUE(download_folders(run_dir).empty());
}

TEST_F(Install, EachFailedStepLeavesTheOldProgram) {
    const std::string real_cp = real_tool("cp");
    const std::string no_program = pack("empty", "new", false);
    const fs::path build_exe = root / "build" / "src" / "veltrum";
    // A bin folder shared with other programs (a /usr-like prefix).
    const fs::path shared_exe = root / "usr" / "bin" / "veltrum";
    make_program(root / "usr", "old");
    make_executable(root / "usr" / "bin" / "other-tool", "#!/bin/sh\n");
    struct Case {
        std::string what;
        std::string tool;    // stand-in name (none when empty)
        std::string script;  // its body
        std::string bytes;
        std::string failure;
        std::optional<fs::path> running = std::nullopt;
    };
    const std::vector<Case> cases = {
        {"unpack fails", "tar", "echo 'tar: broken archive' >&2; exit 2", image, "tar failed: tar: broken archive\n"},
        {"no program folder in the image", "", "", no_program, "no program folder found in update image"},
        {"not started from a program folder", "", "", image, "running binary is not inside a program folder",
         build_exe},
        {"started from a shared prefix", "", "", image, "running binary is not inside a program folder", shared_exe},
        {"copy fails", "cp", "echo 'cp: No space left on device' >&2; exit 1", image,
         "cp failed: cp: No space left on device\n"},
        {"set-aside name taken", "cp",
         real_cp + " \"$@\" && mkdir -p '" + program_folder.native() + ".old/taken'", image,
         "swap out old bundle: Directory not empty (os error 39)"},
        {"copy missing", "cp", "exit 0", image, "swap in new bundle: No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(run_dir);
        fs::create_directories(run_dir);
        for (const auto& e : fs::directory_iterator(standins)) fs::remove(e.path());
        if (!c.tool.empty()) standin(c.tool, c.script);
        auto o = options();
        if (c.running) o.stage.running_executable = [p = *c.running]() -> base::Result<fs::path> { return p; };

        EXPECT_EQ(install(c.bytes, o), c.failure);
        EXPECT_EQ(version_installed(), "old");
        EXPECT_EQ(slurp(program_folder / "bin" / "veltrum"), "#!/bin/sh\necho old\n");
        EXPECT_FALSE(beside(".new"));
        EXPECT_EQ(before_relaunch_calls, 0);
        EXPECT_FALSE(relaunched);
        // Whatever failed, staging took away what it wrote.
        EXPECT_TRUE(download_folders(run_dir).empty());
        fs::remove_all(program_folder.native() + ".old");
    }
}

TEST_F(Install, RefusedBeforeAnythingTouchesTheDisk) {
    // No release key in the build.
    auto o = options();
    o.release_key = "";
    EXPECT_EQ(install(image, o), "no release public key baked into this build");
    // A body that is not the signed image.
    std::string other = image;
    other.back() ^= 1;
    serve_instead = other;
    EXPECT_EQ(install(image, options()), "update checksum mismatch");
    EXPECT_EQ(version_installed(), "old");
    EXPECT_TRUE(download_folders(run_dir).empty());
}

TEST_F(Install, QuitIsRefusedWhileStaging) {
    // cp waits for the test's signal before copying.
    const fs::path go = root / "go";
    standin("cp", "while [ ! -e '" + go.native() + "' ]; do sleep 0.01; done; exec " + real_tool("cp") + " \"$@\"");
    EXPECT_FALSE(update::is_staging());
    bool seen_staging = false;
    const auto result = install(image, options(), [&] {
        if (update::is_staging() && !seen_staging) {
            seen_staging = true;
            // The folder is mid-way: what a quit now would break.
            EXPECT_EQ(version_installed(), "old");
            spit(go, "");
        }
    });
    EXPECT_TRUE(seen_staging);
    EXPECT_EQ(result, "relaunch");
    EXPECT_EQ(version_installed(), "new");
}

TEST_F(Install, RelaunchEndsTheProcess) {
    standin("sh", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + (root / "sh-args.tmp").native() + "'; mv '" +
                      (root / "sh-args.tmp").native() + "' '" + (root / "sh-args").native() + "'");
    const update::Restart restart{program_folder, "veltrum"};
    EXPECT_EXIT(restart.run(), ::testing::ExitedWithCode(0), "");
    // sh is not waited for: its record appears when it has run.
    for (int i = 0; i < 10000 && !fs::exists(root / "sh-args"); ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(lines_of(root / "sh-args"),
              (std::vector<std::string>{"-c", "sleep 1; exec \"$0\"", (program_folder / "bin" / "veltrum").native()}));

    // Without sh on PATH the relaunch reports why and the process goes on.
    Env no_path("PATH", (root / "nothing").c_str());
    EXPECT_EQ(restart.run(), "No such file or directory (os error 2)");
}

TEST(Run, ReportsStartFailuresAndErrorOutput) {
    EXPECT_TRUE(update::run("true", {}));
    EXPECT_EQ(update::run("veltrum-no-such-program", {}).error(),
              "veltrum-no-such-program: No such file or directory (os error 2)");
    EXPECT_EQ(update::run("sh", {"-c", "printf 'bad \\377 byte\\n' >&2; echo out; exit 3"}).error(),
              "sh failed: bad \xef\xbf\xbd byte\n");
    EXPECT_EQ(update::run("sh", {"-c", "kill -9 $$"}).error(), "sh failed: ");
}

TEST(PrivateTempDir, FreshPrivateFolderAndOnlyOurLeftoversSwept) {
    const auto dir = test_support::scratch("update_install", "tempdir");
    fs::create_directories(dir / "run" / "veltrum-dl-aaaa" / "inside");
    spit(dir / "run" / "veltrum-dl-file", "not a folder");
    fs::create_directories(dir / "run" / "veltrum-other");
    {
        Env xdg("XDG_RUNTIME_DIR", (dir / "run").c_str());
        auto p = update::private_temp_dir("veltrum");
        ASSERT_TRUE(p) << p.error();
        EXPECT_EQ(p->parent_path(), dir / "run");
        const std::string name = p->filename();
        ASSERT_EQ(name.size(), std::string("veltrum-dl-").size() + 16);
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 11), std::string::npos);
        struct stat st {};
        ASSERT_EQ(::stat(p->c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_FALSE(fs::exists(dir / "run" / "veltrum-dl-aaaa"));
        EXPECT_TRUE(fs::exists(dir / "run" / "veltrum-dl-file"));
        EXPECT_TRUE(fs::exists(dir / "run" / "veltrum-other"));
        // The next one replaces it.
        auto q = update::private_temp_dir("veltrum");
        ASSERT_TRUE(q);
        EXPECT_NE(*p, *q);
        EXPECT_FALSE(fs::exists(*p));
    }
    {
        Env xdg("XDG_RUNTIME_DIR", nullptr);
        Env tmp("TMPDIR", (dir / "tmp").c_str());
        EXPECT_EQ(update::user_temp_dir(), dir / "tmp");
        EXPECT_EQ(update::private_temp_dir("veltrum").error(), "No such file or directory (os error 2)");
        fs::create_directories(dir / "tmp");
        auto p = update::private_temp_dir("veltrum");
        ASSERT_TRUE(p);
        EXPECT_EQ(p->parent_path(), dir / "tmp");
    }
}

TEST(Check, RunsOffTheUiThread) {
    LocalServer s;
    std::string body;
    s.server.Get("/api/update/latest", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/json");
    });
    s.start();
    Env server("VELTRUM_SERVER_URL", s.url().c_str());
    ReleaseKeys keys;
    const auto newer = update_support::signed_record(keys, "image", PRODUCT.version_epoch + 1);

    for (const auto& [record, offered] : {std::pair{update_support::signed_record(keys, "image", PRODUCT.version_epoch),
                                                    false},
                                          std::pair{newer, true}}) {
        body = update_support::to_json(record);
        reactive::ManualLoop loop;
        reactive::Root ui(loop, nullptr);
        std::optional<base::Result<std::optional<api::UpdateInfo>>> result;
        reactive::spawn_root([](auto& out) -> reactive::Task<> { out = co_await update::check(PRODUCT); }(result));
        drive(loop, [&] { return result.has_value(); });
        ASSERT_TRUE(result && *result);
        EXPECT_EQ(result->value().has_value(), offered);
        if (offered) {
            EXPECT_EQ(*result->value(), newer);
        }
    }
}
