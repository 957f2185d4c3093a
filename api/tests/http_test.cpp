// The update client against a local HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "api/tests/update_support.h"
#include "api/update.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using update_support::Gate;
using update_support::LocalServer;
using update_support::OpenOnExit;
namespace update = api::client::update;
using api::client::HttpClient;
using api::client::PRODUCT;

namespace {

constexpr auto LATEST = "/api/update/latest";

api::UpdateInfo record(std::uint64_t epoch, std::string display = "2027.01.02-0304") {
    api::UpdateInfo info;
    info.version_epoch = epoch;
    info.version_display = std::move(display);
    info.filename = "veltrum-linux.tar.gz";
    info.size = 10;
    info.sha256 = std::string(64, '0');
    info.signature = "c2ln";
    info.platform = api::Platform::VeltrumLinux;
    // What the check looks for; whether it verifies is decided before the
    // download.
    info.manifest_signature = "c2ln";
    return info;
}

fs::path image_file() {
    const auto dir = test_support::scratch_root("http") / "download";
    fs::create_directories(dir);
    return dir / "image";
}

// Downloads into a file of its own: the bytes that arrived there, or the
// failure. The length and digest given back are those of the file.
base::Result<std::string> fetched(const api::UpdateInfo& info, const HttpClient& client) {
    const auto path = image_file();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    auto got = update::download(PRODUCT, info, fd, client);
    ::close(fd);
    if (!got) return base::fail(got.error());
    const auto bytes = test_support::slurp(path);
    EXPECT_EQ(got->size, bytes.size());
    EXPECT_EQ(got->digest, api::sha256_bytes(bytes));
    return bytes;
}

}  // namespace

TEST(Check, AnswersOfTheServer) {
    LocalServer s;
    std::string body;
    std::string platform_asked;
    s.server.Get(LATEST, [&](const httplib::Request& req, httplib::Response& res) {
        platform_asked = req.get_param_value("platform");
        res.set_content(body, "application/json");
    });
    s.server.Get("/fails", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    s.start();
    test_support::Env server("VELTRUM_SERVER_URL", s.url().c_str());

    // Equal epoch: up to date even with another display text.
    body = update_support::to_json(record(PRODUCT.version_epoch, "2099.12.31-2359"));
    auto same = update::fetch_latest(PRODUCT);
    ASSERT_TRUE(same) << same.error();
    EXPECT_FALSE(*same);
    EXPECT_EQ(platform_asked, "veltrum-linux");

    // Greater epoch: offered even when its text looks older.
    body = update_support::to_json(record(PRODUCT.version_epoch + 1, "2001.01.01-0000"));
    auto newer = update::fetch_latest(PRODUCT);
    ASSERT_TRUE(newer && *newer);
    EXPECT_EQ((*newer)->version_display, "2001.01.01-0000");
    // Another platform's record with a greater epoch is offered too (the
    // installation refuses it).
    auto windows = record(PRODUCT.version_epoch + 1);
    windows.platform = api::Platform::VeltrumWindows;
    body = update_support::to_json(windows);
    auto offered = update::fetch_latest(PRODUCT);
    ASSERT_TRUE(offered && *offered);
    EXPECT_EQ((*offered)->platform, api::Platform::VeltrumWindows);

    body = update_support::to_json(record(PRODUCT.version_epoch - 1));
    EXPECT_FALSE(*update::fetch_latest(PRODUCT));

    // A newer record that could not be verified is never offered.
    auto no_signature = record(PRODUCT.version_epoch + 1);
    no_signature.manifest_signature.reset();
    auto no_platform = record(PRODUCT.version_epoch + 1);
    no_platform.platform.reset();
    for (const auto& unverifiable : {no_signature, no_platform}) {
        body = update_support::to_json(unverifiable);
        auto refused = update::fetch_latest(PRODUCT);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), "update manifest signature verification failed");
    }
    // An older one is simply not newer.
    auto old_unsigned = record(PRODUCT.version_epoch - 1);
    old_unsigned.manifest_signature.reset();
    body = update_support::to_json(old_unsigned);
    EXPECT_FALSE(*update::fetch_latest(PRODUCT));

    // A record that cannot be read, and an answer too long to be one.
    body = R"({"version_epoch":1,"platform":"linux"})";
    EXPECT_EQ(update::fetch_latest(PRODUCT).error(), "error decoding response body");
    auto padded = [](std::size_t n) {
        auto b = update_support::to_json(record(PRODUCT.version_epoch + 1));
        b.insert(b.size() - 1, R"(,"padding":")" + std::string(n, ' ') + "\"");
        return b;
    };
    body = padded(update::RECORD_SIZE_LIMIT);
    EXPECT_EQ(update::fetch_latest(PRODUCT).error(), "error decoding response body");
    body = padded(100);
    EXPECT_TRUE(update::fetch_latest(PRODUCT));

    // 404 from the server.
    {
        test_support::Env elsewhere("VELTRUM_SERVER_URL", (s.url() + "/nothing").c_str());
        auto r = update::fetch_latest(PRODUCT);
        ASSERT_FALSE(r);
        EXPECT_EQ(update::check_failed_text(r.error()),
                  "Update check failed: HTTP status client error (404 Not Found) for url (" + s.url() +
                      "/nothing/api/update/latest?platform=veltrum-linux)");
    }
    // A base ending in "/" gives a path starting with "//".
    {
        test_support::Env slash("VELTRUM_SERVER_URL", (s.url() + "/").c_str());
        auto r = update::fetch_latest(PRODUCT);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "HTTP status client error (404 Not Found) for url (" + s.url() +
                                 "//api/update/latest?platform=veltrum-linux)");
    }
    // An empty server address is not an absolute URL.
    {
        test_support::Env empty("VELTRUM_SERVER_URL", "");
        auto r = update::fetch_latest(PRODUCT);
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().starts_with("builder error: ")) << r.error();
        EXPECT_TRUE(r.error().ends_with(" for url (/api/update/latest?platform=veltrum-linux)")) << r.error();
    }
    auto server_error = HttpClient(5s).get({.url = s.url() + "/fails"});
    EXPECT_EQ(server_error.error(), "HTTP status server error (500 Internal Server Error) for url (" + s.url() +
                                        "/fails)");
}

TEST(Check, NobodyListening) {
    std::string url;
    {
        LocalServer gone;
        gone.start();
        url = gone.url();
    }
    test_support::Env server("VELTRUM_SERVER_URL", url.c_str());
    EXPECT_EQ(update::fetch_latest(PRODUCT).error(),
              "error sending request for url (" + url + "/api/update/latest?platform=veltrum-linux)");
}

TEST(Download, LengthAndTimeLimits) {
    auto gate = std::make_shared<Gate>();
    const std::string image = "0123456789";
    auto info = record(PRODUCT.version_epoch + 1);
    info.size = image.size();
    const std::string path = "/api/download/veltrum-linux/2027.01.02-0304/veltrum-linux.tar.gz";
    std::string mode;
    std::atomic<bool> body_started{false};

    LocalServer s;
    s.server.Get(path, [&, gate](const httplib::Request&, httplib::Response& res) {
        if (mode == "exact") {
            res.set_content(image, "application/octet-stream");
        } else if (mode == "length one more") {
            // The head states one byte too many; the body waits for the gate.
            res.set_content_provider(image.size() + 1, "application/octet-stream",
                                     [&, gate](std::size_t, std::size_t, httplib::DataSink& sink) {
                                         gate->wait(nullptr);
                                         body_started = true;
                                         sink.write("x", 1);
                                         return false;
                                     });
        } else if (mode == "no length, longer") {
            // No Content-Length: more bytes than the record's size, then a
            // body that never ends.
            res.set_chunked_content_provider("application/octet-stream", [&, gate](std::size_t, httplib::DataSink& sink) {
                const std::string more = image + "more than the size";
                sink.write(more.data(), more.size());
                gate->wait(nullptr);
                return false;
            });
        } else if (mode == "no length, exact") {
            res.set_chunked_content_provider("application/octet-stream", [&](std::size_t, httplib::DataSink& sink) {
                sink.write(image.data(), image.size());
                sink.done();
                return true;
            });
        } else if (mode == "slow body") {
            // A byte every 20 ms, while the client reads.
            res.set_chunked_content_provider("application/octet-stream",
                                             [&, gate](std::size_t, httplib::DataSink& sink) {
                                                 if (gate->open) return false;
                                                 std::this_thread::sleep_for(20ms);
                                                 return sink.write("x", 1);
                                             });
        } else if (mode == "endless") {
            // Far more than any image, as fast as the client reads.
            res.set_chunked_content_provider("application/octet-stream", [&, gate](std::size_t, httplib::DataSink& sink) {
                const std::string chunk(1 << 16, 'z');
                while (!gate->open) {
                    if (!sink.write(chunk.data(), chunk.size())) return false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // at most 64 MB a second
                }
                return false;
            });
        } else if (mode == "slow head") {
            gate->wait(nullptr);
            res.status = 204;
        }
    });
    s.start();
    OpenOnExit open_at_end{gate};
    test_support::Env server("VELTRUM_SERVER_URL", s.url().c_str());
    EXPECT_EQ(update::download_url(PRODUCT, info), s.url() + path);

    const HttpClient patient(20s);
    mode = "exact";
    EXPECT_EQ(fetched(info, patient).value(), image);
    mode = "no length, exact";
    EXPECT_EQ(fetched(info, patient).value(), image);

    // Refused from the head alone: the body is held back by the gate, so an
    // answer that needed it would only come after the 20 s limit.
    mode = "no length, longer";
    EXPECT_EQ(fetched(info, patient).error(), "update size mismatch");

    // Reading stops at size + 1 bytes although the body never ends.
    mode = "length one more";
    EXPECT_EQ(fetched(info, patient).error(), "update size mismatch");
    EXPECT_FALSE(body_started);

    // The limit covers the whole transfer, while bytes are still arriving.
    mode = "slow body";
    auto big = info;
    big.size = 1'000'000;
    EXPECT_EQ(fetched(big, HttpClient(300ms)).error(), "error decoding response body");
    // A huge size claim with a body that never ends: the time limit ends it
    // (the bytes went to the file, never into memory).
    mode = "endless";
    auto huge = info;
    huge.size = std::uint64_t{20} << 30;
    EXPECT_EQ(fetched(huge, HttpClient(1s)).error(), "error decoding response body");
    EXPECT_GT(fs::file_size(image_file()), 0u);
    mode = "slow head";
    EXPECT_EQ(fetched(info, HttpClient(300ms)).error(),
              "error sending request for url (" + s.url() + path + ")");
    gate->open = true;
}
