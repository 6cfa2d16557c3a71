// The frame's message bar: a GtkInfoBar (yellow, RGB 255/246/143) with an
// icon part and a text part, each a flat button so that a click or Return
// reaches it. The bar knows how it looks; what a click does is the frame's
// (the kind rules live there). GTK main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace quol::client {

class MessageBar {
 public:
  // Messages longer than this are cut: the bar is one line.
  static constexpr std::size_t kMaxTextLength = 1024;
  static constexpr char kIconTooltip[] = "Click here to hide this message.";

  // `icon` (may be null): the small icon 502, referenced while the bar lives.
  MessageBar(GdkPixbuf* icon, std::function<void()> on_icon_click,
             std::function<void()> on_text_click);
  ~MessageBar();
  MessageBar(const MessageBar&) = delete;
  MessageBar& operator=(const MessageBar&) = delete;

  GtkWidget* widget() const { return bar_; }
  void Show(bool with_icon, const std::string& text, bool clickable);
  void Hide();
  bool visible() const;
  std::string text() const;
  bool icon_shown() const;

 private:
  static void OnIconClicked(GtkButton*, gpointer self);
  static void OnTextClicked(GtkButton*, gpointer self);

  GtkWidget* bar_ = nullptr;
  GtkWidget* icon_button_ = nullptr;
  GtkWidget* icon_ = nullptr;
  GtkWidget* text_button_ = nullptr;
  GtkWidget* label_ = nullptr;
  std::function<void()> on_icon_click_;
  std::function<void()> on_text_click_;
};

}  // namespace quol::client
