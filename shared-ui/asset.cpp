#include "shared-ui/asset.h"

#include "webview-host/page_script.h"

namespace shared_ui {

std::string_view Asset::file() const {
    for (const detail::AssetFile* f = detail::ASSET_FILES; f->name[0] != '\0'; ++f)
        if (name == f->name) return f->file;
    return name;
}

std::string Asset::url() const { return std::string(webview_host::ASSET_PREFIX) + std::string(file()); }

}  // namespace shared_ui
