/*
 * quor7_hl.h - the Quor7 high-level library (libquor7_hl): whole-chunk
 * I/O that bypasses the filter pipeline, and 8-bit indexed images with
 * RGB palettes.
 *
 * Every call returns a signed 32-bit status (negative on failure) unless
 * said otherwise, and leaves an error record on the default error stack
 * when it fails.  Names of images and palettes are paths relative to the
 * location identifier (a file or a group).
 *
 * How images and palettes are marked in a file and how a palette is
 * attached to an image: docs/file-format-images.md.
 */
#ifndef QUOR7_HL_H
#define QUOR7_HL_H

#include <stddef.h>
#include <stdint.h>

#include "quor7.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Whole-chunk I/O                                                     */
/* ------------------------------------------------------------------ */

/* Stores data_size bytes at buf as the chunk whose first element lies at
 * offset (one coordinate per dimension, in elements, a multiple of the
 * chunk size), together with filter_mask.  The bytes are stored as they
 * are: no filter runs. */
q7status_t Q7DOwrite_chunk(q7id_t dset_id, q7id_t dxpl_id, uint32_t filter_mask, const q7size_t *offset,
                           size_t data_size, const void *buf);
/* Fetches the stored bytes of the chunk at offset into buf (which must
 * hold the chunk's stored size, see Q7Dget_chunk_storage_size) and the
 * filter mask stored with it into *filter_mask. */
q7status_t Q7DOread_chunk(q7id_t dset_id, q7id_t dxpl_id, const q7size_t *offset, uint32_t *filter_mask,
                          void *buf);

/* ------------------------------------------------------------------ */
/* Images and palettes                                                 */
/* ------------------------------------------------------------------ */

/* Largest number of palettes that can be attached to one image. */
#define Q7IM_MAX_PALETTES 256
/* Longest palette path (bytes, without the terminating NUL) that an
 * image can record. */
#define Q7IM_MAX_PALETTE_PATH 1023

/* A new 8-bit indexed image dataset: height rows of width bytes, taken
 * from buf (width * height bytes).  Fails when the name is taken, or
 * width or height is 0. */
q7status_t Q7IMmake_image_8bit(q7id_t loc_id, const char *dset_name, q7size_t width, q7size_t height,
                               const unsigned char *buf);
/* A new palette dataset: pal_dims[0] colours of pal_dims[1] bytes each
 * (pal_dims[1] must be 3: red, green, blue), taken from pal_data. */
q7status_t Q7IMmake_palette(q7id_t loc_id, const char *pal_name, const q7size_t *pal_dims,
                            const unsigned char *pal_data);
/* Attaches the palette pal_name to the image image_name (both relative
 * to loc_id).  Attaching a palette that is already attached changes
 * nothing and succeeds. */
q7status_t Q7IMlink_palette(q7id_t loc_id, const char *image_name, const char *pal_name);
/* Detaches the palette pal_name from the image; fails when it was not
 * attached. */
q7status_t Q7IMunlink_palette(q7id_t loc_id, const char *image_name, const char *pal_name);

/* Positive when the dataset is marked as an image, 0 when it is not,
 * negative when it cannot be opened. */
q7tri_t    Q7IMis_image(q7id_t loc_id, const char *dset_name);
/* The same for palettes. */
q7tri_t    Q7IMis_palette(q7id_t loc_id, const char *dset_name);
/* Width, height and number of attached palettes of an image (each
 * pointer may be null). */
q7status_t Q7IMget_image_info(q7id_t loc_id, const char *dset_name, q7size_t *width, q7size_t *height,
                              q7size_t *npals);
/* Copies the image's width * height pixel bytes into buf. */
q7status_t Q7IMread_image(q7id_t loc_id, const char *dset_name, unsigned char *buf);
/* Number of palettes attached to the image. */
q7ssize_t  Q7IMget_npalettes(q7id_t loc_id, const char *image_name);
/* Path of the image's palette number pal_index (0 first) within the
 * file: copied into name (size bytes, NUL-terminated, truncated to fit
 * when name is not null); returns the path's full length. */
q7ssize_t  Q7IMget_palette_name(q7id_t loc_id, const char *image_name, int pal_index, char *name,
                                size_t size);
/* Dimensions {colours, 3} of the image's palette number pal_index. */
q7status_t Q7IMget_palette_info(q7id_t loc_id, const char *image_name, int pal_index, q7size_t pal_dims[2]);
/* Copies the colours * 3 bytes of the image's palette number pal_index
 * into pal_data. */
q7status_t Q7IMread_palette(q7id_t loc_id, const char *image_name, int pal_index, unsigned char *pal_data);

#ifdef __cplusplus
}
#endif

#endif /* QUOR7_HL_H */
