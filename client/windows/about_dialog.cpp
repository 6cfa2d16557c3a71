// The about box: the product's name in the private font, the program's and
// the browser's versions and the maker's notice, grey on white inside a
// one-pixel grey frame, without a caption.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "client/windows/client_windows.h"
#include "foundation/config/cobrand_module.h"
#include "platform/identity/identity.h"

namespace quol::client {
namespace {

constexpr char kFontFamily[] = "Futura Bk BT";
constexpr int kNoticePoints = 12;
constexpr int kLongestFullSizeName = 24;
constexpr int kTitleWidthTenths = 5760;  // 24 characters at 240 tenths
constexpr std::size_t kMaxBrowserTextLength = 64;
constexpr char kUnknownBrowser[] = "(Unknown Browser)";
// Names longer than this are cut before they reach a label (the font rule
// would make them unreadably small anyway).
constexpr std::size_t kMaxProductNameBytes = 256;
constexpr char kNotice[] =
    "Copyright \u00A9 Quol Family Software. All rights reserved.\n"
    "Quol and the Quol mark are trademarks of Quol Family Software.";

constexpr char kStyle[] =
    ".quol-about { background-color: #ffffff; border: 1px solid #808080; }\n"
    ".quol-about label { color: #000000; }\n"
    ".quol-about label.quol-grey { color: #808080; }\n";

void SetFont(GtkWidget* label, int tenths_of_point) {
  PangoAttrList* attributes = pango_attr_list_new();
  PangoFontDescription* font = pango_font_description_from_string(kFontFamily);
  pango_font_description_set_size(font, tenths_of_point * PANGO_SCALE / 10);
  pango_attr_list_insert(attributes, pango_attr_font_desc_new(font));
  pango_font_description_free(font);
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
}

GtkWidget* Label(const char* id, const std::string& text, bool grey) {
  GtkWidget* label = gtk_label_new(text.c_str());
  if (id != nullptr) gtk_widget_set_name(label, id);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  if (grey) gtk_style_context_add_class(gtk_widget_get_style_context(label), "quol-grey");
  return label;
}

GtkWidget* Picture() {
  std::string bytes;
  if (!LoadClientResource(std::to_string(kAboutPicture), &bytes) || bytes.empty()) {
    return nullptr;
  }
  GInputStream* stream =
      g_memory_input_stream_new_from_data(bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_stream_at_scale(stream, 60, 56, TRUE, nullptr, nullptr);
  g_object_unref(stream);
  if (pixbuf == nullptr) return nullptr;
  GtkWidget* image = gtk_image_new_from_pixbuf(pixbuf);
  g_object_unref(pixbuf);
  return image;
}

std::string ProductDisplayName() {
  std::string name = CCobrandableModule::Instance().LoadString(kStringProductName);
  return name.empty() ? std::string("Quol") : name;
}

}  // namespace

int AboutTitleFontTenths(const std::string& product_name) {
  const glong length = g_utf8_validate(product_name.c_str(), -1, nullptr)
                           ? g_utf8_strlen(product_name.c_str(), -1)
                           : static_cast<glong>(product_name.size());
  if (length <= kLongestFullSizeName) return 240;
  return static_cast<int>(kTitleWidthTenths / length);
}

std::string AboutBrowserLine(const std::string& browser_version) {
  if (browser_version.empty() || browser_version.size() >= kMaxBrowserTextLength) {
    return kUnknownBrowser;
  }
  return browser_version;
}

GtkWidget* CreateAboutDialog(GtkWindow* parent, const AboutDialogContent& given) {
  RegisterClientPrivateFont();
  AboutDialogContent content = given;
  if (content.product_name.empty()) content.product_name = ProductDisplayName();
  if (content.product_name.size() > kMaxProductNameBytes) {
    content.product_name.resize(kMaxProductNameBytes);
  }
  if (content.file_version.empty()) content.file_version = platform::ProgramFileVersionText();

  GtkWidget* dialog = gtk_dialog_new();
  gtk_widget_set_name(dialog, "500");
  gtk_window_set_title(GTK_WINDOW(dialog), content.product_name.c_str());
  gtk_window_set_decorated(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  if (parent != nullptr) gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);

  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(dialog), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  gtk_style_context_add_class(gtk_widget_get_style_context(dialog), "quol-about");

  GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(area), 18);
  gtk_box_set_spacing(GTK_BOX(area), 10);

  GtkWidget* top = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 14);
  if (GtkWidget* picture = Picture()) gtk_box_pack_start(GTK_BOX(top), picture, FALSE, FALSE, 0);
  GtkWidget* title = Label("2004", content.product_name, true);
  SetFont(title, AboutTitleFontTenths(content.product_name));
  gtk_label_set_ellipsize(GTK_LABEL(title), PANGO_ELLIPSIZE_END);
  gtk_label_set_max_width_chars(GTK_LABEL(title), 40);
  gtk_box_pack_start(GTK_BOX(top), title, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(area), top, FALSE, FALSE, 0);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
  gtk_widget_set_margin_start(grid, 74);
  gtk_grid_attach(GTK_GRID(grid), Label(nullptr, "Version", false), 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), Label("2001", content.file_version, false), 1, 0, 1, 1);
  GtkWidget* browser = Label("2002", AboutBrowserLine(content.browser_version), false);
  gtk_grid_attach(GTK_GRID(grid), browser, 1, 1, 1, 1);
  gtk_box_pack_start(GTK_BOX(area), grid, FALSE, FALSE, 0);

  GtkWidget* notice = Label("2005", kNotice, true);
  SetFont(notice, kNoticePoints * 10);
  gtk_widget_set_margin_top(notice, 8);
  gtk_box_pack_start(GTK_BOX(area), notice, FALSE, FALSE, 0);

  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_widget_set_name(ok, "1");
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_widget_grab_default(ok);
  gtk_widget_show_all(area);

  // Centred over the parent by the same rule as the progress window, size kept.
  GtkRequisition size{};
  gtk_widget_get_preferred_size(dialog, nullptr, &size);
  if (parent != nullptr) {
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(parent, &x, &y);
    gtk_window_get_size(parent, &width, &height);
    gtk_window_move(GTK_WINDOW(dialog), x + (width - size.width) / 2, y + (height - size.height) / 2);
  } else {
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  }
  return dialog;
}

void RunAboutDialog(GtkWindow* parent, const std::string& browser_version) {
  AboutDialogContent content;
  content.browser_version = browser_version;
  GtkWidget* dialog = CreateAboutDialog(parent, content);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

}  // namespace quol::client
