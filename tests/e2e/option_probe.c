/* A frontend in miniature for the package test: sets its locale as graphical
 * frontends do, loads the backend library, opens one device and prints the
 * option titles and string lists; with a mode and a source given, sets them
 * (the values as the lists show them) and scans one page, printing its frame
 * parameters and the bytes read.
 *
 * usage: option_probe LIBRARY DEVICE [MODE SOURCE] */
#include <dlfcn.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>

#include <sane/sane.h>

#define LOOKUP(type, name)                                   \
    type name = (type)dlsym(lib, #name);                     \
    if (name == NULL) {                                      \
        fprintf(stderr, "missing symbol %s\n", #name);       \
        return 2;                                            \
    }

typedef SANE_Status (*init_fn)(SANE_Int*, SANE_Auth_Callback);
typedef SANE_Status (*open_fn)(SANE_String_Const, SANE_Handle*);
typedef const SANE_Option_Descriptor* (*desc_fn)(SANE_Handle, SANE_Int);
typedef SANE_Status (*control_fn)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*);
typedef SANE_Status (*start_fn)(SANE_Handle);
typedef SANE_Status (*params_fn)(SANE_Handle, SANE_Parameters*);
typedef SANE_Status (*read_fn)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*);
typedef void (*handle_fn)(SANE_Handle);
typedef void (*exit_fn)(void);

static int set_string(control_fn control, SANE_Handle h, const SANE_Option_Descriptor* d, int opt,
                      const char* value) {
    char buf[256];
    snprintf(buf, sizeof buf, "%s", value);
    for (const SANE_String_Const* p = d->constraint.string_list; *p != NULL; ++p) {
        if (strcmp(*p, value) == 0) {
            SANE_Status st = control(h, opt, SANE_ACTION_SET_VALUE, buf, NULL);
            printf("set[%s]=%s status=%d\n", d->name, value, (int)st);
            return st == SANE_STATUS_GOOD;
        }
    }
    printf("set[%s]=%s not in the list\n", d->name, value);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) return 2;
    setlocale(LC_ALL, "");
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    LOOKUP(init_fn, sane_orvela_init)
    LOOKUP(open_fn, sane_orvela_open)
    LOOKUP(desc_fn, sane_orvela_get_option_descriptor)
    LOOKUP(control_fn, sane_orvela_control_option)
    LOOKUP(start_fn, sane_orvela_start)
    LOOKUP(params_fn, sane_orvela_get_parameters)
    LOOKUP(read_fn, sane_orvela_read)
    LOOKUP(handle_fn, sane_orvela_cancel)
    LOOKUP(handle_fn, sane_orvela_close)
    LOOKUP(exit_fn, sane_orvela_exit)

    if (sane_orvela_init(NULL, NULL) != SANE_STATUS_GOOD) return 1;
    SANE_Handle h = NULL;
    SANE_Status st = sane_orvela_open(argv[2], &h);
    printf("open=%d\n", (int)st);
    if (st != SANE_STATUS_GOOD) return 1;

    int mode_opt = -1, source_opt = -1;
    for (int i = 1; i < 12; ++i) {
        const SANE_Option_Descriptor* d = sane_orvela_get_option_descriptor(h, i);
        if (d == NULL) return 1;
        printf("title[%s]=%s\n", d->name, d->title);
        if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
            for (int k = 0; d->constraint.string_list[k] != NULL; ++k) {
                printf("list[%s][%d]=%s\n", d->name, k, d->constraint.string_list[k]);
            }
        }
        if (strcmp(d->name, "mode") == 0) mode_opt = i;
        if (strcmp(d->name, "source") == 0) source_opt = i;
    }

    int rc = 0;
    if (argc == 5 && mode_opt > 0 && source_opt > 0) {
        if (!set_string(sane_orvela_control_option, h, sane_orvela_get_option_descriptor(h, source_opt),
                        source_opt, argv[4]) ||
            !set_string(sane_orvela_control_option, h, sane_orvela_get_option_descriptor(h, mode_opt), mode_opt,
                        argv[3])) {
            rc = 1;
        } else if ((st = sane_orvela_start(h)) != SANE_STATUS_GOOD) {
            printf("start=%d\n", (int)st);
            rc = 1;
        } else {
            SANE_Parameters p;
            sane_orvela_get_parameters(h, &p);
            static SANE_Byte buf[65536];
            long total = 0;
            SANE_Int len = 0;
            while ((st = sane_orvela_read(h, buf, (SANE_Int)sizeof buf, &len)) == SANE_STATUS_GOOD) total += len;
            printf("format=%d depth=%d pixels=%d lines=%d bytes_per_line=%d read=%ld end=%d\n", (int)p.format,
                   (int)p.depth, (int)p.pixels_per_line, (int)p.lines, (int)p.bytes_per_line, total, (int)st);
            if (st != SANE_STATUS_EOF || total != (long)p.bytes_per_line * p.lines) rc = 1;
        }
        sane_orvela_cancel(h);
    }
    sane_orvela_close(h);
    sane_orvela_exit();
    return rc;
}
