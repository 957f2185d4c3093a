#pragma once
// An in-memory DOM that applies edit batches the way the page does. For
// tests only (library veltrum_reactive_testing): build from edits, compare as
// markup.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "reactive/dom_edit.h"

namespace reactive::dom {

struct Node {
    ElementId id = 0;
    bool is_text = false;
    std::string tag;  // element tag
    std::string ns;   // "" or "svg"
    std::string text; // text nodes
    std::map<std::string, std::string> attrs;
    std::map<std::string, PropValue> props;
    std::map<std::string, std::string> styles;
    std::map<std::string, int> listeners;  // event -> mode (LISTEN_* bits)
    std::optional<std::string> html;
    Node* parent = nullptr;
    std::vector<Node*> children;
};

class Document {
public:
    Document();
    // Applies one batch in order; stops at the first edit that cannot apply.
    base::Result<void> apply(const EditBatch& batch);
    base::Result<void> apply_json(std::string_view json);

    const Node& root() const { return *nodes_.at(0); }
    const Node* find(ElementId id) const;
    std::size_t size() const { return nodes_.size(); }

    // Markup of the mount point's content. Texts are escaped, attributes
    // sorted; with `ids` every element carries data-id="<id>"; styles are
    // written as a style attribute, props as "prop:name=value" attributes,
    // listeners as "on:event=mode".
    std::string html(bool ids = false) const;
    std::string html_of(const Node& n, bool ids = false) const;
    // Ids of elements carrying a "mounted" listener, in document order.
    std::vector<ElementId> mounted_listeners() const;

private:
    void forget(Node* n);
    void write(std::string& out, const Node& n, bool ids) const;
    std::unordered_map<ElementId, std::unique_ptr<Node>> nodes_;
};

// Escapes text for markup (& < > and, in attribute values, ").
std::string escape(std::string_view s, bool attribute = false);

}  // namespace reactive::dom
