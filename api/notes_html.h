#pragma once
// Dialog texts and release notes: plain text in a small line notation turned
// into the HTML of a dialog's body. Lines starting with "- " or "* " are list
// items, "# ", "## " and "### " headings, an empty line ends a paragraph, and
// every other line is paragraph text (consecutive lines joined by <br>).
// All text is escaped, so file names and server texts are safe to pass.
#include <string>
#include <string_view>

namespace api::client::update {

// `"` → &quot;, `&` → &amp;, `<` → &lt;, `>` → &gt;; nothing else changes.
std::string escape_html(std::string_view text);

// The HTML of a text in the notation; never fails.
std::string notes_html(std::string_view text);

}  // namespace api::client::update
