// A program linked as stillray is, whose imports are a misspelt toolkit function and one of a
// library the program does not link: its build must stop at the link, naming both.
extern "C" void gtk_widget_show_al(void* widget);
extern "C" void* cairo_create(void* surface);

extern "C" [[noreturn]] void _start()
{
    gtk_widget_show_al(cairo_create(nullptr));
    __builtin_trap();
}
