// Start-up: file URLs the system asks to open, the pending list, the page
// head and the window description.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "base/tests/support.h"
#include "shell/startup.h"

namespace shell {
namespace {

TEST(OpenedFiles, UrlTable) {
    struct Case {
        const char* url;
        const char* path;  // nullptr: skipped
    };
    const Case cases[] = {
        {"file:///home/ana/show.vtproject", "/home/ana/show.vtproject"},
        {"file://localhost/home/ana/show.vtproject", "/home/ana/show.vtproject"},
        {"file://LOCALHOST/a", "/a"},
        {"file://server/share/show.vtproject", nullptr},
        {"file://192.168.1.4/show.vtproject", nullptr},
        {"file://[::1]/show.vtproject", nullptr},
        {"file:///home/ana/My%20Show.vtproject", "/home/ana/My Show.vtproject"},
        {"file:///caf%C3%A9/a%2525b", "/café/a%25b"},
        {"file:///a?query#frag", "/a"},
        {"other:///tmp/x", "/tmp/x"},  // the scheme is not looked at
        {"file:/tmp/x", "/tmp/x"},
        {"file:///a%2Fb", nullptr},  // no "/" inside a segment
        {"file:///a%00b", nullptr},
        {"file:///a%zz", nullptr},
        {"file:///a%4", nullptr},
        {"file:relative/x", nullptr},
        {"/tmp/no-scheme", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        auto p = local_path_of_url(c.url);
        if (c.path) {
            ASSERT_TRUE(p.has_value()) << c.url;
            EXPECT_EQ(p->string(), c.path) << c.url;
        } else {
            EXPECT_FALSE(p.has_value()) << c.url << " gave " << p->string();
        }
    }
}

TEST(OpenedFiles, QueuedUntilTheMainWindowIsReady) {
    {
        std::lock_guard lk(PENDING_OPEN_PATHS_MU);
        PENDING_OPEN_PATHS.clear();
    }
    MAIN_WINDOW_READY = false;
    queue_opened_files({"file:///a/one.vtproject", "file://localhost/b/t%20wo.vtproject", "file://nas/c.vtproject"});
    {
        std::lock_guard lk(PENDING_OPEN_PATHS_MU);
        EXPECT_EQ(PENDING_OPEN_PATHS,
                  (std::vector<std::filesystem::path>{"/a/one.vtproject", "/b/t wo.vtproject"}));
    }
    queue_opened_paths(std::vector<std::filesystem::path>{"/c/three.vtproject"});
    MAIN_WINDOW_READY.store(true, std::memory_order_release);
    queue_opened_files({"file:///late.vtproject"});
    queue_opened_paths(std::vector<std::filesystem::path>{"/late/too.vtproject"});
    {
        std::lock_guard lk(PENDING_OPEN_PATHS_MU);
        EXPECT_EQ(PENDING_OPEN_PATHS, (std::vector<std::filesystem::path>{"/a/one.vtproject", "/b/t wo.vtproject",
                                                                         "/c/three.vtproject"}));
        PENDING_OPEN_PATHS.clear();
    }
    MAIN_WINDOW_READY = false;
}

TEST(PageHead, StyleThenKitSheetsThenOwnSheet) {
    std::vector<std::string> kit;
    for (int i = 0; i < 21; ++i) kit.push_back("veltrum://app/assets/kit/sheet" + std::to_string(i) + ".css");
    const std::string head = page_head("veltrum://app/assets/kit/fonts/InterVariable.woff2", kit);

    const std::string style =
        "<style>@font-face { font-family: 'Inter'; src: url('veltrum://app/assets/kit/fonts/InterVariable.woff2') "
        "format('woff2'); font-weight: 100 900; font-style: normal; font-display: block; }</style>";
    ASSERT_TRUE(head.starts_with(style));
    std::string want = style;
    for (const auto& k : kit) want += "<link rel=\"stylesheet\" href=\"" + k + "\">";
    want += "<link rel=\"stylesheet\" href=\"" + APP_CSS.url() + "\">";
    EXPECT_EQ(head, want);

    const std::regex link("<link rel=\"stylesheet\" href=\"[^\"]*\">");
    EXPECT_EQ(std::distance(std::sregex_iterator(head.begin(), head.end(), link), std::sregex_iterator()), 22);
    const std::regex style_el("<style>");
    EXPECT_EQ(std::distance(std::sregex_iterator(head.begin(), head.end(), style_el), std::sregex_iterator()), 1);
    EXPECT_TRUE(head.ends_with("<link rel=\"stylesheet\" href=\"" + APP_CSS.url() + "\">"));
}

TEST(PageHead, ProgramSheetIsAContentHashedCopy) {
    // Served from the assets folder under its name with a hash of its
    // content, like the kit's files, so a changed sheet never meets a
    // cached copy.
    EXPECT_EQ(APP_CSS.name, "veltrum.css");
    const std::string url = APP_CSS.url();
    EXPECT_TRUE(std::regex_match(url, std::regex("veltrum://app/assets/veltrum-[0-9a-f]{12}\\.css"))) << url;
    const auto copy = std::filesystem::path(VELTRUM_ASSETS_DIR) / std::string(APP_CSS.file());
    const auto source = std::filesystem::path(VELTRUM_SOURCE_DIR) / "assets" / "veltrum.css";
    ASSERT_TRUE(std::filesystem::exists(copy)) << copy;
    EXPECT_EQ(test_support::slurp(copy), test_support::slurp(source));
    EXPECT_GT(std::filesystem::file_size(copy), 1000u);
}

TEST(WindowDescription, HiddenFixedSizes) {
    auto c = window_description("<style></style>");
    EXPECT_EQ(c.title, "Veltrum");
    EXPECT_EQ(c.width, 1280);
    EXPECT_EQ(c.height, 800);
    EXPECT_EQ(c.min_width, 1280);
    EXPECT_EQ(c.min_height, 720);
    EXPECT_FALSE(c.visible);
    EXPECT_EQ(c.head, "<style></style>");
}

}  // namespace
}  // namespace shell
