#include <cairo.h>
#include <gtk/gtk.h>

#include <cstdlib>

#include "platform/clipboard/clipboard.h"

namespace quol::platform {
namespace {

class GtkImageClipboard : public IClipboard {
 public:
  bool SetImage(const ClipboardImage& image) override {
    if (!IsValidClipboardImage(image)) return false;
    // GTK only carries the picture here. Without this it would first load
    // the accessibility bridge, which looks for a D-Bus session (a wait
    // while the caller may still hold the desktop's grabs) and keeps what it
    // allocated to the end.
    ::setenv("NO_AT_BRIDGE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) return false;
    // Cairo only reads these pixels: the pixbuf below is a converted copy.
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        const_cast<unsigned char*>(image.pixels),
        image.has_alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, image.width, image.height,
        image.stride);
    GdkPixbuf* pixbuf = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS
                            ? gdk_pixbuf_get_from_surface(surface, 0, 0, image.width, image.height)
                            : nullptr;
    cairo_surface_destroy(surface);
    if (pixbuf == nullptr) return false;
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_image(clipboard, pixbuf);
    gtk_clipboard_set_can_store(clipboard, nullptr, 0);
    gtk_clipboard_store(clipboard);
    g_object_unref(pixbuf);
    return true;
  }
};

}  // namespace

std::unique_ptr<IClipboard> MakeDesktopClipboard() { return std::make_unique<GtkImageClipboard>(); }

}  // namespace quol::platform
