// Dialog text to HTML: the notation's lines, escaping and line ends.
#include <gtest/gtest.h>

#include "api/notes_html.h"

namespace {

using api::client::update::escape_html;
using api::client::update::notes_html;

struct Case {
    const char* text;
    const char* html;
};

TEST(NotesHtml, Table) {
    const Case cases[] = {
        {"# New\nFaster plots\nbetter colors\n\n- one\n- two\nEnd",
         "<h1>New</h1><p>Faster plots<br>better colors</p><ul><li>one</li><li>two</li></ul><p>End</p>"},
        {"", ""},
        {"Saved", "<p>Saved</p>"},
        {"Saved\n", "<p>Saved</p>"},
        {"a\r\nb\r\n", "<p>a<br>b</p>"},
        {"  - one\n\t* two", "<ul><li>one</li><li>two</li></ul>"},
        {"-one\n-", "<p>-one<br>-</p>"},
        {"-  a", "<ul><li> a</li></ul>"},
        {"- one\nafter", "<ul><li>one</li></ul><p>after</p>"},
        {"text\n- item", "<p>text</p><ul><li>item</li></ul>"},
        {"## Two\n### Three", "<h2>Two</h2><h3>Three</h3>"},
        {"#### Four\n#Tight", "<p>#### Four<br>#Tight</p>"},
        {"para\n# Head", "<p>para</p><h1>Head</h1>"},
        {"a<b>&c.vtproject", "<p>a&lt;b&gt;&amp;c.vtproject</p>"},
        {"it's \"quoted\"", "<p>it's &quot;quoted&quot;</p>"},
        {"- <x>", "<ul><li>&lt;x&gt;</li></ul>"},
        {"\n\n\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(notes_html(c.text), c.html) << "text: " << c.text;
}

TEST(NotesHtml, TrailingBreakAndCrlfChangeNothing) {
    const std::string lf = "# T\nline one\nline two\n\n- x\n- y\nEnd";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(notes_html(lf + "\n"), notes_html(lf));
    EXPECT_EQ(notes_html(crlf), notes_html(lf));
}

TEST(EscapeHtml, OnlyFourCharacters) {
    EXPECT_EQ(escape_html("\"&<>' x/é"), "&quot;&amp;&lt;&gt;' x/é");
}

}  // namespace
