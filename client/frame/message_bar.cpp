#include "client/frame/message_bar.h"

namespace quol::client {
namespace {

// The bar's own look, whatever the desktop theme says about info bars: the
// product's yellow, black text, flat parts.
constexpr char kBarCss[] =
    "infobar.quol-message-bar, infobar.quol-message-bar > revealer > box {"
    "  background-color: rgb(255, 246, 143); background-image: none; color: black;"
    "  border: none; padding: 0; margin: 0; }"
    "infobar.quol-message-bar button {"
    "  background: transparent; border: none; box-shadow: none; padding: 2px 4px;"
    "  color: black; min-height: 0; }"
    "infobar.quol-message-bar button:hover { background-color: rgba(0, 0, 0, 0.06); }";

GtkCssProvider* BarCss() {
  static GtkCssProvider* provider = [] {
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kBarCss, -1, nullptr);
    return css;
  }();
  return provider;
}

void AddCss(GtkWidget* widget) {
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                 GTK_STYLE_PROVIDER(BarCss()),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

void AddCssTree(GtkWidget* widget, gpointer) {
  AddCss(widget);
  if (GTK_IS_CONTAINER(widget)) gtk_container_forall(GTK_CONTAINER(widget), &AddCssTree, nullptr);
}

}  // namespace

MessageBar::MessageBar(GdkPixbuf* icon, std::function<void()> on_icon_click,
                       std::function<void()> on_text_click)
    : on_icon_click_(std::move(on_icon_click)), on_text_click_(std::move(on_text_click)) {
  bar_ = gtk_info_bar_new();
  g_object_ref_sink(bar_);
  gtk_widget_set_name(bar_, "0xE801");
  gtk_info_bar_set_message_type(GTK_INFO_BAR(bar_), GTK_MESSAGE_OTHER);
  gtk_style_context_add_class(gtk_widget_get_style_context(bar_), "quol-message-bar");
  GtkWidget* content = gtk_info_bar_get_content_area(GTK_INFO_BAR(bar_));
  gtk_box_set_spacing(GTK_BOX(content), 0);

  icon_button_ = gtk_button_new();
  gtk_widget_set_name(icon_button_, "message-bar-icon");
  gtk_button_set_relief(GTK_BUTTON(icon_button_), GTK_RELIEF_NONE);
  // The small (16-pixel) form of the icon, whatever size the artwork has.
  GdkPixbuf* small = nullptr;
  if (icon != nullptr) {
    small = gdk_pixbuf_get_width(icon) == 16 && gdk_pixbuf_get_height(icon) == 16
                ? GDK_PIXBUF(g_object_ref(icon))
                : gdk_pixbuf_scale_simple(icon, 16, 16, GDK_INTERP_BILINEAR);
  }
  icon_ = small != nullptr ? gtk_image_new_from_pixbuf(small)
                           : gtk_image_new_from_icon_name("dialog-information", GTK_ICON_SIZE_MENU);
  if (small != nullptr) g_object_unref(small);
  gtk_container_add(GTK_CONTAINER(icon_button_), icon_);
  gtk_widget_set_tooltip_text(icon_button_, kIconTooltip);
  gtk_widget_set_size_request(icon_button_, 28, -1);
  g_signal_connect(icon_button_, "clicked", G_CALLBACK(&OnIconClicked), this);

  text_button_ = gtk_button_new();
  gtk_widget_set_name(text_button_, "message-bar-text");
  gtk_button_set_relief(GTK_BUTTON(text_button_), GTK_RELIEF_NONE);
  label_ = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(label_), 0.0f);
  gtk_label_set_ellipsize(GTK_LABEL(label_), PANGO_ELLIPSIZE_END);
  gtk_container_add(GTK_CONTAINER(text_button_), label_);
  g_signal_connect(text_button_, "clicked", G_CALLBACK(&OnTextClicked), this);

  gtk_box_pack_start(GTK_BOX(content), icon_button_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(content), text_button_, TRUE, TRUE, 0);
  AddCssTree(bar_, nullptr);
  gtk_widget_show_all(content);
  gtk_widget_set_no_show_all(bar_, TRUE);
  gtk_widget_hide(bar_);
}

MessageBar::~MessageBar() {
  if (bar_ != nullptr) {
    // Destroying the bar destroys its buttons and their handlers with them
    // (also when the window went first: the bar is kept alive by our
    // reference).
    gtk_widget_destroy(bar_);
    g_object_unref(bar_);
  }
}

void MessageBar::Show(bool with_icon, const std::string& text, bool clickable) {
  const std::string cut = text.size() > kMaxTextLength ? text.substr(0, kMaxTextLength) : text;
  // Page text may be cut inside a character or not be UTF-8 at all.
  gchar* shown = g_utf8_make_valid(cut.c_str(), static_cast<gssize>(cut.size()));
  gtk_label_set_text(GTK_LABEL(label_), shown);
  g_free(shown);
  // Without the icon the icon part keeps one pixel, as the bar always had.
  gtk_widget_set_visible(icon_, with_icon);
  gtk_widget_set_visible(icon_button_, with_icon);
  gtk_widget_set_margin_start(text_button_, with_icon ? 0 : 1);
  GdkWindow* window = gtk_widget_get_window(text_button_);
  if (window != nullptr) {
    GdkCursor* cursor = clickable ? gdk_cursor_new_from_name(gdk_window_get_display(window),
                                                             "pointer")
                                  : nullptr;
    gdk_window_set_cursor(window, cursor);
    if (cursor != nullptr) g_object_unref(cursor);
  }
  gtk_widget_show(bar_);
}

void MessageBar::Hide() { gtk_widget_hide(bar_); }

bool MessageBar::visible() const { return gtk_widget_get_visible(bar_) != FALSE; }

std::string MessageBar::text() const { return gtk_label_get_text(GTK_LABEL(label_)); }

bool MessageBar::icon_shown() const { return gtk_widget_get_visible(icon_) != FALSE; }

void MessageBar::OnIconClicked(GtkButton*, gpointer self) {
  auto* bar = static_cast<MessageBar*>(self);
  if (bar->on_icon_click_) bar->on_icon_click_();
}

void MessageBar::OnTextClicked(GtkButton*, gpointer self) {
  auto* bar = static_cast<MessageBar*>(self);
  if (bar->on_text_click_) bar->on_text_click_();
}

}  // namespace quol::client
