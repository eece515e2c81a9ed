// stillray: one still picture, ray marched on the GPU, full-screen with the pointer hidden
// until Escape. Its own entry routine, no C runtime; calls nothing but GTK and GL.
#include <gtk/gtk.h>

#include "fragment_text.h"
#include "picture_program.h"
#include "vertex_text.h"

const char* const shader_sources[2] = {vertex_text, fragment_text};
GLuint shader_program;
GLuint vertex_array;

// Ends the process at once through the kernel: no runtime exit, no teardown, no flushing.
[[noreturn]] static void exit_group(int status)
{
    asm volatile("syscall" : : "a"(231), "D"(status));
    __builtin_unreachable();
}

// In a section of its own, which the linker script places right after the entry routine.
[[gnu::section(".text.on_realize")]] static void on_realize(GtkGLArea* area, gpointer)
{
    gtk_gl_area_make_current(area);
    shader_program = link_picture_program(shader_sources);
    glGenVertexArrays(1, &vertex_array);
}

static gboolean on_render(GtkGLArea*, GdkGLContext*, gpointer)
{
    draw_picture(shader_program, vertex_array);
    return TRUE;
}

// Escape, with any modifiers, ends the process; every other key goes on to the toolkit.
static gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer)
{
    if (event->keyval == GDK_KEY_Escape)
        exit_group(0);
    return FALSE;
}

// The kernel enters with the stack 16-byte aligned, not as a call leaves it, so the routine
// realigns it before any toolkit code runs SSE on it.
// Widget casts: the container cast is the toolkit's checked one, as GTK's start-up sequence has
// it; any other is an unchecked reinterpret_cast (a check costs a call) of an object whose type
// its constructor fixed, with that reason beside it. Handlers take the type their signal passes.
extern "C" [[noreturn, gnu::force_align_arg_pointer]] void _start()
{
    gtk_init(nullptr, nullptr);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* area = gtk_gl_area_new();
    gtk_container_add(GTK_CONTAINER(window), area);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect(area, "realize", G_CALLBACK(on_realize), nullptr);
    g_signal_connect(area, "render", G_CALLBACK(on_render), nullptr);
    g_signal_connect(window, "key_press_event", G_CALLBACK(on_key_press), nullptr);
    gtk_widget_show_all(window); // realises the area: the GL program exists from here on
    gtk_window_fullscreen(reinterpret_cast<GtkWindow*>(window)); // made by gtk_window_new
    // The window's own GdkWindow taken first, before the display: that order packs smaller.
    GdkWindow* toplevel = gtk_widget_get_window(window);
    gdk_window_set_cursor(toplevel, gdk_cursor_new_for_display(gdk_display_get_default(), GDK_BLANK_CURSOR));
    gtk_main();
    exit_group(0); // the window was destroyed
}
