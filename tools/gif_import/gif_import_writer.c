/*
 * gif_import_writer - stores a decoded GIF in a new Quor7 file: the
 * global colour table as the palette "global" (when the GIF has one), and
 * every image as an 8-bit image "Image<n>" with that palette attached.
 * Every dataset lies at the top of the file.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "q7gif.h"
#include "quor7.h"
#include "quor7_hl.h"

/* Bit of the logical screen's packed byte that says a global colour
 * table is present. */
#define GLOBAL_TABLE_FLAG 0x80u

#define PALETTE_NAME "global"
#define IMAGE_NAME_SIZE 256

int32_t WriteQuor(q7gif_t gif, const char *filename)
{
    const q7gif_screen_t *screen = gif.screen;
    const int32_t image_count = screen->image_count;
    int palette_made;
    int32_t i;
    q7id_t file;

    Q7check_version(1, 10, 4);
    Q7open();

    file = Q7Fcreate(filename, Q7F_ACC_TRUNC, 0, 0);
    if (file < 0) {
        fprintf(stderr, "Quor file could not be opened for writing\n");
        fprintf(stderr, "NOTE: GIF file must be present in the same directory as the binary on UNIX systems.\n");
        exit(1);
    }

    palette_made = 0;
    if (screen->packed & GLOBAL_TABLE_FLAG) {
        q7size_t palette_dims[2];
        palette_dims[0] = (q7size_t)screen->num_colours;
        palette_dims[1] = 3;
        if (Q7IMmake_palette(file, PALETTE_NAME, palette_dims, screen->global_palette) < 0)
            return -1;
        palette_made = 1;
    }

    for (i = 0; i < image_count; i++) {
        const q7gif_image_t *image = gif.images[i];
        char image_name[IMAGE_NAME_SIZE];

        snprintf(image_name, sizeof image_name, "Image%d", i);
        if (Q7IMmake_image_8bit(file, image_name, (q7size_t)image->width, (q7size_t)image->height,
                                image->pixels) < 0)
            return -1;
        /* Attached before the next image is written, so that every image
         * already in the file has its palette. */
        if (palette_made && Q7IMlink_palette(file, image_name, PALETTE_NAME) < 0)
            return -1;
    }

    if (Q7Fclose(file) < 0) {
        fprintf(stderr, "Could not close Quor7 file. Aborting...\n");
        return -1;
    }
    return 0;
}
