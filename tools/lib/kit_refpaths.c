/*
 * kit_refpaths.c - table from object addresses to path names, built by
 * one walk of the file, plus fake addresses and identifier counters.
 */
/* strdup */
#define _POSIX_C_SOURCE 200809L

#include "kit_refpaths.h"

#include <stdlib.h>
#include <string.h>

#include "q7tools.h"

/* One table entry.  The address comes first: the table's key pointer is
 * the entry's own address field, so item and key pointers are equal. */
typedef struct ref_path_node_t {
    q7addr_t address;
    char    *path;
} ref_path_node_t;

static q7id_t  thefile = -1;
static Q7SL_t *ref_path_table = NULL;

int32_t  xid = 1;
q7addr_t fake_xid = Q7_ADDR_UNDEF - 1;

static int32_t ref_path_table_put(const char *path, q7addr_t address);

static q7status_t free_ref_path_info(void *item, void *key, void *operator_data)
{
    ref_path_node_t *node = (ref_path_node_t *)item;

    (void)key;
    (void)operator_data;
    free(node->path);
    free(node);
    return 0;
}

/* Records each object under the path of its first visit only. */
static int init_ref_path_cb(const char *path, const Q7O_info2_t *oinfo, const char *already_seen, void *udata)
{
    (void)udata;
    if (already_seen == NULL)
        (void)ref_path_table_put(path, oinfo->addr);
    return 0;
}

/* Creates the table and fills it by one walk of thefile.  A failed walk
 * still counts as the build: the partial table stays. */
static int32_t init_ref_path_table(void)
{
    if (thefile <= 0)
        return -1;
    ref_path_table = Q7SL_create(Q7SL_TYPE_HADDR, NULL);
    if (ref_path_table == NULL)
        return -1;
    if (q7trav_visit(thefile, "/", 1, 1, init_ref_path_cb, NULL, NULL, 1) < 0) {
        error_msg("unable to construct reference path table\n");
        q7tools_setstatus(1);
    }
    return 0;
}

static int32_t ref_path_table_put(const char *path, q7addr_t address)
{
    ref_path_node_t *node;
    q7status_t ret;

    if (path == NULL)
        return -1;
    if (ref_path_table == NULL)
        return -1;
    node = (ref_path_node_t *)malloc(sizeof *node);
    if (node == NULL)
        return -1;
    node->address = address;
    node->path = strdup(path);
    ret = Q7SL_insert(ref_path_table, node, &node->address);
    if (ret < 0)
        (void)free_ref_path_info(node, NULL, NULL);
    return ret;
}

int32_t fill_ref_path_table(q7id_t file)
{
    thefile = file;
    return 0;
}

const char *lookup_ref_path(q7addr_t address)
{
    const ref_path_node_t *node;

    if (thefile < 0)
        return NULL;
    if (ref_path_table == NULL)
        (void)init_ref_path_table();
    if (ref_path_table == NULL)
        return NULL;
    node = (const ref_path_node_t *)Q7SL_search(ref_path_table, &address);
    if (node == NULL)
        return NULL;
    return node->path;
}

q7addr_t ref_path_table_lookup(const char *path)
{
    Q7L_info_t link_info;
    Q7O_info2_t object_info;

    if (path == NULL || path[0] == '\0')
        return Q7_ADDR_UNDEF;
    if (strcmp(path, "/") != 0) {
        if (Q7Lget_info(thefile, path, &link_info, 0) < 0)
            return Q7_ADDR_UNDEF;
        /* External links (64) and above name no object of this file. */
        if (link_info.type > 63)
            return Q7_ADDR_UNDEF;
    }
    if (Q7Oget_info_by_name2(thefile, path, &object_info, 1, 0) < 0)
        return Q7_ADDR_UNDEF;
    return object_info.addr;
}

q7addr_t ref_path_table_gen_fake(const char *path)
{
    q7addr_t fake = get_fake_xid();

    if (ref_path_table == NULL)
        (void)init_ref_path_table();
    (void)ref_path_table_put(path, fake);
    return fake;
}

int32_t get_next_xid(void)
{
    return xid++;
}

q7addr_t get_fake_xid(void)
{
    return fake_xid--;
}

int32_t term_ref_path_table(void)
{
    if (ref_path_table != NULL) {
        (void)Q7SL_destroy(ref_path_table, free_ref_path_info, NULL);
        ref_path_table = NULL;
    }
    return 0;
}
