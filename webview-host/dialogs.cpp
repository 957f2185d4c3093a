// Native open and save dialogs (GtkFileChooserNative).
#include "webview-host/window_impl.h"

namespace webview_host {

struct FileDialog::Impl {
    GtkFileChooserNative* native = nullptr;
    std::function<void(std::optional<std::filesystem::path>)> done;
    bool open = false;

    void finish(std::optional<std::filesystem::path> p) {
        if (!open) return;
        open = false;
        auto d = std::move(done);
        if (d) d(std::move(p));
    }
};

FileDialog::FileDialog(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

FileDialog::~FileDialog() {
    if (impl_->open) gtk_native_dialog_hide(GTK_NATIVE_DIALOG(impl_->native));
    impl_->open = false;
    g_signal_handlers_disconnect_by_data(impl_->native, impl_.get());
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(impl_->native));
    g_object_unref(impl_->native);
}

void FileDialog::cancel() {
    if (!impl_->open) return;
    gtk_native_dialog_hide(GTK_NATIVE_DIALOG(impl_->native));
    impl_->finish(std::nullopt);
}

bool FileDialog::is_open() const { return impl_->open; }

namespace {

std::unique_ptr<FileDialog> file_dialog(GtkWindow* parent, GtkFileChooserAction action, const FileDialogOptions& o,
                                        std::function<void(std::optional<std::filesystem::path>)> done) {
    auto impl = std::make_unique<FileDialog::Impl>();
    bool save = action == GTK_FILE_CHOOSER_ACTION_SAVE;
    impl->native = gtk_file_chooser_native_new(o.title.c_str(), parent, action, save ? "_Save" : "_Open", "_Cancel");
    GtkFileChooser* fc = GTK_FILE_CHOOSER(impl->native);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(fc, TRUE);
        if (!o.suggested_name.empty()) gtk_file_chooser_set_current_name(fc, o.suggested_name.c_str());
    }
    if (!o.folder.empty()) gtk_file_chooser_set_current_folder(fc, o.folder.c_str());
    if (o.filter) {
        GtkFileFilter* f = gtk_file_filter_new();
        gtk_file_filter_set_name(f, o.filter->name.c_str());
        for (auto& p : o.filter->patterns) gtk_file_filter_add_pattern(f, p.c_str());
        gtk_file_chooser_add_filter(fc, f);  // takes the floating reference
    }
    impl->done = std::move(done);
    g_signal_connect(impl->native, "response", G_CALLBACK(+[](GtkNativeDialog* d, gint response, gpointer data) {
                         auto* impl = static_cast<FileDialog::Impl*>(data);
                         std::optional<std::filesystem::path> p;
                         if (response == GTK_RESPONSE_ACCEPT) {
                             if (gchar* f = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d))) {
                                 p = std::filesystem::path(f);
                                 g_free(f);
                             }
                         }
                         impl->finish(std::move(p));
                     }),
                     impl.get());
    impl->open = true;
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(impl->native), TRUE);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(impl->native));
    return std::make_unique<FileDialog>(std::move(impl));
}

}  // namespace

std::unique_ptr<FileDialog> Window::open_file_dialog(const FileDialogOptions& o,
                                                     std::function<void(std::optional<std::filesystem::path>)> done) {
    return file_dialog(GTK_WINDOW(impl_->window), GTK_FILE_CHOOSER_ACTION_OPEN, o, std::move(done));
}

std::unique_ptr<FileDialog> Window::save_file_dialog(const FileDialogOptions& o,
                                                     std::function<void(std::optional<std::filesystem::path>)> done) {
    return file_dialog(GTK_WINDOW(impl_->window), GTK_FILE_CHOOSER_ACTION_SAVE, o, std::move(done));
}

}  // namespace webview_host
