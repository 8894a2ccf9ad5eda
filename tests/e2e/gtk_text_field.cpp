// A GTK text view that holds the keyboard focus and writes its whole text to
// a file on every change, as slow as an editor that saves as it goes: the
// typing tests' native GTK client. Usage: gtk_text_field OUTPUT
#include <gtk/gtk.h>

#include <string>

namespace {

std::string output;

void Save(GtkTextBuffer* buffer, gpointer) {
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(buffer, &start, &end);
  gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
  // Written and synced through a temporary file on every change, so this
  // client reads its key events late.
  g_file_set_contents(output.c_str(), text, -1, nullptr);
  g_free(text);
}

gboolean Focused(GtkWidget* view, GdkEvent*, gpointer) {
  Save(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), nullptr);  // ready: an empty file
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !gtk_init_check(nullptr, nullptr)) return 2;
  output = argv[1];
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 300, 200);
  GtkWidget* view = gtk_text_view_new();
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), "changed", G_CALLBACK(Save),
                   nullptr);
  g_signal_connect(view, "focus-in-event", G_CALLBACK(Focused), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_widget_grab_focus(view);
  gtk_window_present(GTK_WINDOW(window));
  gtk_main();
  return 0;
}
