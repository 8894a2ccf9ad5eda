// What the controls, the menu and the notifications do.
#include <ctime>
#include <system_error>

#include "platform/desktop_shell.h"
#include "platform/log.h"
#include "tray/snapshot.h"
#include "tray/tray_app.h"

namespace vistrel::tray {
namespace fs = std::filesystem;
namespace {

// A modal message over the main window; true for OK.
bool AskOrTell(GtkWidget* parent, GtkMessageType type, GtkButtonsType buttons,
               const std::string& text) {
  GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_MODAL, type,
                                             GTK_BUTTONS_NONE, "%s", text.c_str());
  // Our own words on the buttons, in the order GTK gives its own.
  if (buttons == GTK_BUTTONS_OK_CANCEL) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("Cancel"), GTK_RESPONSE_CANCEL);
  }
  gtk_dialog_add_button(GTK_DIALOG(dialog), _("OK"), GTK_RESPONSE_OK);
  gtk_window_set_title(GTK_WINDOW(dialog), "Orlith Cam");
  // Enter takes the first button, OK, as a message box's does.
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response == GTK_RESPONSE_OK;
}

}  // namespace

void TrayApp::SetPage(int page) {
  view_.page = page;
}

void TrayApp::StartPairing() {
  if (!view_.running) return;
  view_.pairing_url = receiver_->StartPairing();
  WriteTestHookFile("vstl_pair_url.txt", view_.pairing_url, false);
  view_.page = kWebcamPage;
  ShowMainWindow();
}

void TrayApp::CancelPairing() {
  if (!view_.running) return;
  receiver_->CancelPairing();
  view_.pairing_url.clear();
}

void TrayApp::Decide(bool approve) {
  if (!view_.running) return;
  acted_on_request_ = true;
  receiver_->pairing().Decide(approve);
}

void TrayApp::SetCameraAllowed(bool allowed) {
  if (!view_.running || !receiver_->server()) return;
  receiver_->server()->SetCameraAllowed(allowed);
  view_.preview.reset();
}

void TrayApp::ChangeSettings(const std::function<void(AppSettings&)>& change) {
  if (!view_.running) return;
  AppSettings changed = view_.settings;
  change(changed);
  receiver_->ApplySettings(changed);
  view_.SetSettings(receiver_->GetSettings());
}

void TrayApp::SaveSnapshot() {
  if (!view_.running) return;
  Bytes frame;
  uint32_t width = 0, height = 0;
  uint64_t sequence = UINT64_MAX;  // any fresh frame is copied
  if (!receiver_->GetPreviewFrame(frame, width, height, sequence)) return;
  const fs::path folder = SnapshotsFolder();
  const auto outcome = SaveSnapshotPng(frame, static_cast<int>(width), static_cast<int>(height),
                                       folder, std::time(nullptr));
  if (!outcome) return;
  if (outcome->saved) {
    WriteTestHookFile("vstl_snapshot.txt", outcome->path.string(), false);
    Notify(_("Snapshot saved"), Substitute(_("Pictures/Orlith Cam/%s"), {outcome->file_name}),
           kWebcamPage);
  } else {
    Notify(_("Snapshot not saved"), Substitute(_("Could not write to %s"), {folder.string()}),
           kWebcamPage);
  }
}

void TrayApp::ShowInFolder(const fs::path& path) {
  vistrel::ShowInFolder(path);
}

void TrayApp::Open(const fs::path& path) {
  OpenWithDefaultApp(path);
}

void TrayApp::OpenFolder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  OpenWithDefaultApp(folder);
}

void TrayApp::PickScansFolder() {
  if (!view_.running || chooser_) return;
  const fs::path current = ResolveScansFolder(view_.settings);
  std::error_code ec;
  fs::create_directories(current, ec);
  chooser_ =
      gtk_file_chooser_native_new(_("Save Orlith Cam scans to"), nullptr,
                                  GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, _("Select"), _("Cancel"));
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser_), current.c_str());
  g_signal_connect(
      chooser_, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, gint response, gpointer data) {
        auto* app = static_cast<TrayApp*>(data);
        if (response == GTK_RESPONSE_ACCEPT) {
          gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
          if (chosen) {
            const fs::path folder(chosen);
            g_free(chosen);
            app->ChangeSettings([&folder](AppSettings& s) { s.scans_folder = folder; });
            app->Tick();
          }
        }
        app->ClosePicker();
      }),
      this);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser_));
}

void TrayApp::ClosePicker() {
  // Released from the loop, not inside the dialog's own signal.
  GtkFileChooserNative* chooser = chooser_;
  chooser_ = nullptr;
  g_idle_add(
      [](gpointer data) {
        g_object_unref(data);
        return G_SOURCE_REMOVE;
      },
      chooser);
  Repaint(main_);
}

void TrayApp::CopyText(const std::string& text) {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gtk_clipboard_set_text(clipboard, text.data(), static_cast<gint>(text.size()));
  Notify(_("Copied"), _("The text is on the clipboard."), kWebcamPage);
}

void TrayApp::RemovePhone(const TrustedPhone& phone) {
  if (!view_.running) return;
  const std::string& name = phone.device_name;
  if (!AskOrTell(
          main_.window, GTK_MESSAGE_QUESTION, GTK_BUTTONS_OK_CANCEL,
          Substitute(_("Remove %s? It disconnects now and must be paired again to reconnect."),
                     {name}))) {
    return;
  }
  if (!receiver_->ForgetPhone(phone.fingerprint)) {
    AskOrTell(main_.window, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK,
              Substitute(_("%s is disconnected, but the phone list couldn't be saved, so it "
                           "will be paired again after a restart. Check that you can write to "
                           "%s, then remove it again."),
                         {name, receiver_->data_folder().string()}));
  }
}

void TrayApp::SetAutostart(bool on) {
  if (!vistrel::SetAutostart(on, ProgramFile())) {
    LogLine("[app] could not %s %s\n", on ? "write" : "remove", AutostartFile().c_str());
  }
  view_.autostart = IsAutostartEnabled();
}

void TrayApp::Quit() {
  gtk_main_quit();
}

}  // namespace vistrel::tray
