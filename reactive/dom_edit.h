#pragma once
// DOM edits: what the host sends the page after a render, and their wire form.
//
// ---- Page protocol (the source of truth for both ends) ------------------------
//
// Host -> page: a batch of DOM edits.
// One JSON array per batch; each edit is a JSON array whose first element is
// an opcode string. Element ids are unsigned integers, stable for the life of
// the element and never reused; id 0 is the mount point (the <div id="root">
// of the index page), never created or removed.
//   ["c", id, tag, ns]        create element; ns is "" (HTML) or "svg"
//   ["t", id, text]           create a text node
//   ["a", id, name, value]    set attribute (boolean attributes: value "" when
//                             true; removed when false)
//   ["r", id, name]           remove attribute
//   ["p", id, name, value]    set a DOM property; value is a JSON string,
//                             boolean or number (input value/checked; written
//                             on every render where the component asks, or
//                             only at creation); a property no longer given
//                             is set to "", false or 0
//   ["s", id, prop, value]    set one inline style property (value "" removes it)
//   ["x", id, text]           set the text of a text node
//   ["h", id, html]           set raw inner HTML
//   ["i", parent, id, before] insert or move node id into parent before node
//                             `before` (null = append)
//   ["d", id]                 remove the node and forget it and its descendants
//   ["l", id, event, mode]    add a listener; mode is a set of bits:
//                             1 = the listener decides (its answer says
//                             whether to preventDefault / stopPropagation);
//                             2 = the page calls preventDefault itself,
//                             4 = the page calls stopPropagation itself
//                             (both at once, before the event is sent)
//   ["u", id, event]          remove a listener
// The page applies a batch in order. Texts are always set as text (never
// parsed as markup); only "h" carries markup.
//
// Page -> host: events
//   {"k":"event","id":<element id>,"type":"click","e":{...typed fields...}}
// The id is the element whose listener fired; the page's own bubbling takes
// the event on to the listeners of enclosing elements (each one sends its
// own message), unless the listener's mode or a blocking listener's answer
// stopped the propagation.
// Typed fields by event family (missing fields read as 0 / false / ""):
//   mouse/pointer: client_x, client_y, offset_x, offset_y, page_x, page_y,
//                  button, buttons, shift, ctrl, alt, meta; pointer events
//                  also pointer_id and pointer_type ("mouse", "pen", "touch")
//   wheel: the mouse fields + delta_x, delta_y, delta_mode
//   touch: touches [{id, client_x, client_y}], shift, ctrl, alt, meta
//   keyboard: key, code, repeat, composing (isComposing), shift, ctrl, alt, meta
//   input/change: value, checked
//   focus/blur/focusin/focusout: none
//   "mounted": none (sent by the page when a created element is inserted,
//              only if a listener for "mounted" exists)
// The per-frame events ("resize", "scroll", "mousemove") are posted through
// the script message handler and never wait; every other event goes through a
// synchronous POST on the custom scheme, the page waiting for the listeners,
// whose JSON answer is
//   {"prevent_default":bool,"stop_propagation":bool}.
//
// Host <-> page: scripts, queries
// - The host evaluates a script as the body of an async function; it gets a
//   request number n. Its return value comes back as
//     {"k":"reply","req":n,"ok":true,"value":...}  or
//     {"k":"reply","req":n,"ok":false,"error":"..."}.
// - Long-lived script channels: the script sends values to the host with the
//   page function it is handed (posting {"k":"chan","ch":n,"value":...}, ch
//   being the script's request number); the host sends into the page with a
//   call to a page function receiving (ch, value), which the script reads in
//   order.
// - Element queries (client rect, scroll offset/size, scroll-to, focus) are
//   requests with a req number answered like script replies:
//     client rect: {"x","y","width","height"}; scroll offset: {"x","y"};
//     scroll size: {"width","height"}; scroll-to and focus: null.
// ------------------------------------------------------------------------------
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "reactive/element.h"

namespace reactive {

enum class EditOp : char {
    Create = 'c',
    CreateText = 't',
    SetAttr = 'a',
    RemoveAttr = 'r',
    SetProp = 'p',
    SetStyle = 's',
    SetText = 'x',
    SetHtml = 'h',
    Insert = 'i',
    Remove = 'd',
    Listen = 'l',
    Unlisten = 'u',
};

struct Edit {
    EditOp op = EditOp::Remove;
    ElementId id = 0;
    ElementId parent = 0;                // Insert
    std::optional<ElementId> before;     // Insert: null = append
    std::string name;                    // tag, attribute, property, style, event
    std::string value;                   // ns, text, attribute/style value, html
    PropValue prop;                      // SetProp
    int mode = 0;                        // Listen: LISTEN_* bits
    bool operator==(const Edit&) const = default;
};

using EditBatch = std::vector<Edit>;

// Appends the wire form of one edit / a whole batch.
void write_edit(std::string& out, const Edit& e);
std::string serialize(const EditBatch& batch);
// Reads a batch back (tests, the in-memory DOM).
base::Result<EditBatch> parse_edits(std::string_view json);
// A JSON string literal with the standard escapes (UTF-8 passes unchanged).
void write_json_string(std::string& out, std::string_view s);

}  // namespace reactive
