/*
 * q7gif.h - a GIF file decoded into memory, as the GIF reader produces it
 * and the image writer (WriteQuor) stores it.
 *
 * The writer reads only the first two members of q7gif_t and, of the
 * records, the fields marked "writer" below, which keep their order.
 */
#ifndef Q7GIF_H
#define Q7GIF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest GIF colour table: 256 entries of red, green, blue. */
#define Q7GIF_MAX_COLOURS 256

/* Limits of what the reader accepts, checked before any pixel memory is
 * taken: pixels of one image, and pixels of all images together. */
#define Q7GIF_MAX_IMAGE_PIXELS ((uint64_t)1 << 26)
#define Q7GIF_MAX_TOTAL_PIXELS ((uint64_t)1 << 30)
/* The image count of the screen record is 8 bits wide. */
#define Q7GIF_MAX_IMAGES 255

/* The logical screen. */
typedef struct q7gif_screen_t {
    uint8_t  packed;             /* writer: the logical screen descriptor's packed
                                    field as the file held it; 0x80 = a global
                                    colour table is present */
    int64_t  num_colours;        /* writer: entries of the global colour table */
    uint8_t  image_count;        /* writer: number of images, 0 to 255 */
    uint8_t  global_palette[Q7GIF_MAX_COLOURS * 3]; /* writer: red, green, blue
                                    of each global colour in turn */
    uint16_t screen_width;       /* logical screen size */
    uint16_t screen_height;
    uint8_t  background_index;   /* background colour index */
    uint8_t  aspect_byte;        /* pixel aspect ratio byte */
} q7gif_screen_t;

/* One image of the GIF, de-interlaced. */
typedef struct q7gif_image_t {
    int64_t  width;              /* writer: width in pixels */
    int64_t  height;             /* writer: height in pixels */
    uint16_t left;               /* position on the logical screen */
    uint16_t top;
    uint8_t  interlaced;         /* the file stored the rows interlaced */
    uint8_t  has_local_palette;  /* the image carried a local colour table */
    uint16_t local_num_colours;  /* entries of that table (0 when none) */
    uint8_t  local_palette[Q7GIF_MAX_COLOURS * 3];
    uint8_t *pixels;             /* writer: height rows of width palette indices */
} q7gif_image_t;

/* The decoded GIF, handed to the writer by value. */
typedef struct q7gif_t {
    q7gif_screen_t  *screen;     /* writer */
    q7gif_image_t  **images;     /* writer: screen->image_count pointers, in file order */
    size_t           image_slots; /* entries allocated in images */
} q7gif_t;

/* Receives one warning about input that is odd but importable. */
typedef void (*q7gif_warning_fn)(const char *message, void *user_data);

/* Decodes the GIF file at path into *gif.  Returns 0 on success; on
 * failure returns -1, leaves *gif empty and puts a message into
 * error (error_size bytes, may be 0).  Warnings go to warn (may be null). */
int  q7gif_read_file(const char *path, q7gif_t *gif, q7gif_warning_fn warn, void *user_data, char *error,
                     size_t error_size);
/* The same for a GIF held in memory. */
int  q7gif_read_memory(const void *data, size_t size, q7gif_t *gif, q7gif_warning_fn warn, void *user_data,
                       char *error, size_t error_size);
/* Releases everything q7gif_read_* allocated; *gif is left empty. */
void q7gif_free(q7gif_t *gif);

/* The image writer: stores the decoded GIF in a new file named filename.
 * 0 on success, -1 on failure; ends the process with status 1 when the
 * file cannot be created. */
int32_t WriteQuor(q7gif_t gif, const char *filename);

#ifdef __cplusplus
}
#endif

#endif /* Q7GIF_H */
