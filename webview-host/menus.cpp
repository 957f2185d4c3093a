// Menus: the window's GtkMenuBar, its items by id, and the web view's editing
// commands behind the standard Edit items.
#include "webview-host/window_impl.h"

namespace webview_host {

using detail::MenuEntry;

namespace {

struct MenuCtx {
    Window::Impl* impl;
    std::string id;
};

const char* editing_command(StandardItem s) {
    switch (s) {
        case StandardItem::Undo: return WEBKIT_EDITING_COMMAND_UNDO;
        case StandardItem::Redo: return WEBKIT_EDITING_COMMAND_REDO;
        case StandardItem::Cut: return WEBKIT_EDITING_COMMAND_CUT;
        case StandardItem::Copy: return WEBKIT_EDITING_COMMAND_COPY;
        case StandardItem::Paste: return WEBKIT_EDITING_COMMAND_PASTE;
        case StandardItem::SelectAll: return WEBKIT_EDITING_COMMAND_SELECT_ALL;
        case StandardItem::Hide:
        case StandardItem::None: break;
    }
    return nullptr;
}

void fill_menu(Window::Impl* impl, GtkWidget* menu, const std::vector<MenuItem>& items);

GtkWidget* make_item(Window::Impl* impl, const MenuItem& it) {
    if (it.separator) return gtk_separator_menu_item_new();
    GtkWidget* w = it.literal ? gtk_menu_item_new_with_label(it.label.c_str())
                              : gtk_menu_item_new_with_mnemonic(it.label.c_str());
    MenuEntry e;
    e.item = w;
    e.standard = it.standard;
    if (!it.submenu.empty()) {
        e.submenu = gtk_menu_new();
        fill_menu(impl, e.submenu, it.submenu);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(w), e.submenu);
    } else {
        g_signal_connect_data(
            w, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                auto* c = static_cast<MenuCtx*>(data);
                auto it = c->impl->menu_items.find(c->id);
                StandardItem st = it == c->impl->menu_items.end() ? StandardItem::None : it->second.standard;
                if (st == StandardItem::Hide) {
                    gtk_window_iconify(GTK_WINDOW(c->impl->window));
                    return;
                }
                if (const char* cmd = editing_command(st)) {
                    webkit_web_view_execute_editing_command(c->impl->view, cmd);
                    return;
                }
                if (c->impl->menu_handler) {
                    auto h = c->impl->menu_handler;  // the handler may replace the menus
                    std::string id = c->id;
                    h(id);
                }
            }),
            new MenuCtx{impl, it.id}, [](gpointer data, GClosure*) { delete static_cast<MenuCtx*>(data); },
            GConnectFlags(0));
    }
    if (!it.accel.empty()) {
        guint key = 0;
        GdkModifierType mods{};
        gtk_accelerator_parse(it.accel.c_str(), &key, &mods);
        if (key) gtk_widget_add_accelerator(w, "activate", impl->accel, key, mods, GTK_ACCEL_VISIBLE);
    }
    gtk_widget_set_sensitive(w, it.enabled);
    if (!it.id.empty()) impl->menu_items[it.id] = e;
    return w;
}

void fill_menu(Window::Impl* impl, GtkWidget* menu, const std::vector<MenuItem>& items) {
    for (const auto& it : items) gtk_menu_shell_append(GTK_MENU_SHELL(menu), make_item(impl, it));
}

void forget_items(Window::Impl* impl, GtkWidget* container) {
    GList* kids = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* k = kids; k; k = k->next) {
        auto* w = GTK_WIDGET(k->data);
        for (auto it = impl->menu_items.begin(); it != impl->menu_items.end();) {
            if (it->second.item == w) {
                if (it->second.submenu) forget_items(impl, it->second.submenu);
                it = impl->menu_items.erase(it);
            } else {
                ++it;
            }
        }
    }
    g_list_free(kids);
}

}  // namespace

void Window::set_menu_bar(const std::vector<Menu>& menus, std::function<void(const std::string&)> handler) {
    auto* impl = impl_.get();
    impl->menu_handler = std::move(handler);
    if (impl->menubar) {
        impl->menu_items.clear();
        gtk_widget_destroy(impl->menubar);
    }
    impl->menubar = gtk_menu_bar_new();
    for (const auto& m : menus) {
        GtkWidget* top = gtk_menu_item_new_with_mnemonic(m.label.c_str());
        GtkWidget* sub = gtk_menu_new();
        gtk_menu_set_accel_group(GTK_MENU(sub), impl->accel);
        fill_menu(impl, sub, m.items);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), sub);
        gtk_menu_shell_append(GTK_MENU_SHELL(impl->menubar), top);
    }
    gtk_box_pack_start(GTK_BOX(impl->box), impl->menubar, FALSE, FALSE, 0);
    gtk_widget_show_all(impl->menubar);
}

void Window::rebuild_submenu(const std::string& id, const std::vector<MenuItem>& items) {
    auto* impl = impl_.get();
    auto it = impl->menu_items.find(id);
    if (it == impl->menu_items.end()) return;
    GtkWidget* item = it->second.item;
    if (it->second.submenu) forget_items(impl, it->second.submenu);
    GtkWidget* sub = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(sub), impl->accel);
    fill_menu(impl, sub, items);
    gtk_widget_show_all(sub);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), sub);  // the old submenu is destroyed
    impl->menu_items[id].submenu = sub;
    gtk_widget_set_sensitive(item, !items.empty());
}

void Window::set_item_enabled(const std::string& id, bool enabled) {
    auto it = impl_->menu_items.find(id);
    if (it != impl_->menu_items.end()) gtk_widget_set_sensitive(it->second.item, enabled);
}

bool Window::activate_menu_item(const std::string& id) {
    auto it = impl_->menu_items.find(id);
    if (it == impl_->menu_items.end() || !gtk_widget_is_sensitive(it->second.item) || it->second.submenu) return false;
    gtk_menu_item_activate(GTK_MENU_ITEM(it->second.item));
    return true;
}

bool Window::has_menu_item(const std::string& id) const { return impl_->menu_items.contains(id); }

}  // namespace webview_host
