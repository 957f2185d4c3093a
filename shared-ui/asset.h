#pragma once
// Static files of the page (stylesheets, the font, icons) as asset records.
//
// A record names a file of the kit's assets folder ("button.css",
// "icons/plus.svg"). The build copies each file into the build's assets folder
// under its name with a hash of its content before the extension
// ("button-3f0c2a9d41e7.css"), so that a changed file never meets a cached
// copy; the runtime's custom scheme serves that folder, and the page refers to
// the file only through url().
#include <string>
#include <string_view>

namespace shared_ui {

struct Asset {
    std::string_view name;  // path inside the kit's assets folder

    // The copy's file name inside the assets folder (hash included). A file
    // the build did not copy keeps its plain name.
    std::string_view file() const;
    // The page URL of the copy: "veltrum://app/assets/<file>".
    std::string url() const;

    bool operator==(const Asset&) const = default;
};

namespace detail {
struct AssetFile {
    const char* name;
    const char* file;
};
// Written by the build; ends with an entry whose name is empty.
extern const AssetFile ASSET_FILES[];
}  // namespace detail

}  // namespace shared_ui
