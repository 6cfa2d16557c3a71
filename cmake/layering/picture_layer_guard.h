// Forced into every compile of the saver's picture layer (photos, collage,
// widgets, slides, appointments, common, quol-collage and their tests).
//
// The picture layer draws into Cairo image surfaces only, so that it builds
// and tests without a display. The X11 headers sit in /usr/include like every
// other library's, so no include path can keep them out; instead one entry
// point of each windowing library is poisoned here. Including Xlib, its
// extensions, GLX/OpenGL, cairo-xlib or GTK/GDK - directly or through a header
// of the program layer (app/, fader/, x11/) - is then a compile error in the
// picture layer, and only there.
#pragma GCC poison XOpenDisplay XRRGetScreenResources XShmAttach XFixesHideCursor
#pragma GCC poison XScreenSaverQueryInfo XTestFakeKeyEvent
#pragma GCC poison glXCreateContext glClear
#pragma GCC poison cairo_xlib_surface_create
#pragma GCC poison gtk_init gdk_display_open
