#include <gtest/gtest.h>

#include "webview-host/ipc.h"
#include "webview-host/page_script.h"

namespace webview_host {
namespace {

using nlohmann::json;

TEST(IpcMessage, ReadsMethodAndParams) {
    struct Case {
        const char* text;
        bool ok;
        const char* method;
    };
    const Case cases[] = {
        {R"({"method":"initialize","params":{}})", true, "initialize"},
        {R"(  {"params":[1,2],"method":"js_error","extra":true}  )", true, "js_error"},
        {R"({"method":"user_event","params":null})", true, "user_event"},
        {R"({"method":"x"})", false, ""},                          // no params
        {R"({"params":{}})", false, ""},                           // no method
        {R"({"method":1,"params":{}})", false, ""},                // method not text
        {R"({"method":"a","params":{},"method":"b"})", false, ""}, // key twice
        {R"([1,2])", false, ""},
        {R"({"method":"a","params":{}} x)", false, ""},            // trailing text
        {"not json", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        auto m = parse_ipc_message(c.text);
        EXPECT_EQ(m.has_value(), c.ok) << c.text;
        if (m && c.ok) {
            EXPECT_EQ(m->method, c.method) << c.text;
        }
    }
    // Duplicate keys inside params are the params' business.
    auto m = parse_ipc_message(R"({"method":"a","params":{"k":1,"k":2}})");
    ASSERT_TRUE(m);
}

TEST(EventRecord, ReadsTypedFields) {
    auto r = parse_event_record(json::parse(
        R"({"k":"event","id":7,"type":"click","bubbles":true,"e":{"client_x":3.5,"button":0}})"));
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->id, 7u);
    EXPECT_EQ(r->type, "click");
    EXPECT_TRUE(r->bubbles);
    EXPECT_EQ(r->data["client_x"], 3.5);

    for (const char* bad : {R"({"type":"click"})", R"({"id":-1,"type":"click"})", R"({"id":1})",
                            R"({"id":1,"type":"x","e":3})", R"(5)"}) {
        EXPECT_FALSE(parse_event_record(json::parse(bad))) << bad;
    }
}

TEST(Wire, GoldenTexts) {
    EXPECT_EQ(reply_json({}), R"({"prevent_default":false,"stop_propagation":false})");
    EXPECT_EQ(reply_json({true, true}), R"({"prevent_default":true,"stop_propagation":true})");
    // js_error params as logged: keys in ascending order, no white space,
    // escapes keep a stack on one line, non-ASCII as it is.
    json p = json::parse(R"({"msg":"Error: é\nat f","at":"veltrum://app/index.html:3:9","repeat":2})");
    EXPECT_EQ(compact_json(p), R"({"at":"veltrum://app/index.html:3:9","msg":"Error: é\nat f","repeat":2})");
    EXPECT_EQ(compact_json(json(42)), "42");
    EXPECT_EQ(compact_json(json("text")), R"("text")");
}

TEST(IndexPage, HeadAndScriptPlacement) {
    std::string page = index_html("<link rel=\"stylesheet\" href=\"veltrum://app/assets/a.css\">\n", 17);
    auto head_end = page.find("</head>");
    auto link = page.find("<link rel=\"stylesheet\"");
    ASSERT_NE(link, std::string::npos);
    EXPECT_LT(link, head_end);
    auto root = page.find("<div id=\"root\"></div>");
    auto script = page.find("<script type=\"module\">");
    auto body_end = page.find("</body>");
    EXPECT_LT(head_end, root);
    EXPECT_LT(root, script);
    EXPECT_LT(script, body_end);
    EXPECT_NE(page.find("new VeltrumInterpreter(17, \"veltrum://app/__event\")"), std::string::npos);
    // Interpreter, then the async wrapper, then the error reporter, then the
    // load handler.
    auto create = page.find("const interp = new");
    auto wrapper = page.find("const asyncEvents");
    auto reporter = page.find("function reportJsError");
    auto load = page.find("addEventListener(\"load\"");
    EXPECT_LT(create, wrapper);
    EXPECT_LT(wrapper, reporter);
    EXPECT_LT(reporter, load);
    EXPECT_EQ(page.find("</script", script + 1), page.rfind("</script>"));
}

}  // namespace
}  // namespace webview_host
