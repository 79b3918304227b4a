/* count= and names= as LinuxCNC's own components take them, with the limits the manual pages give. */
#include "instance_names.h"

#include "rtapi.h"
#include "rtapi_errno.h"
#include "rtapi_string.h"

static int refuse(const char *component, const char *why, const char *what) {
    rtapi_print_msg(RTAPI_MSG_ERR, "%s: %s%s\n", component, why, what);
    return -EINVAL;
}

int trelvo_instance_names(const char *component, int count, char *const *names,
                          trelvo_instance_name out[TRELVO_MAX_INSTANCES]) {
    int n, k;
    if (names[0] != 0 && count != TRELVO_COUNT_UNSET)
        return refuse(component, "count= and names= are mutually exclusive", "");
    if (names[0] == 0) {
        if (count == TRELVO_COUNT_UNSET) count = 1;
        if (count < 1 || count > TRELVO_MAX_INSTANCES)
            return refuse(component, "count must be 1 to 8", "");
        for (n = 0; n < count; ++n) rtapi_snprintf(out[n], sizeof out[n], "%s.%d", component, n);
        return count;
    }
    if (names[TRELVO_MAX_INSTANCES] != 0) return refuse(component, "at most 8 names", "");
    for (n = 0; n < TRELVO_MAX_INSTANCES && names[n] != 0; ++n) {
        if (names[n][0] == '\0') return refuse(component, "names= has an empty name", "");
        if (strlen(names[n]) > HAL_NAME_LEN / 2) return refuse(component, "name too long: ", names[n]);
        for (k = 0; k < n; ++k)
            if (strcmp(names[k], names[n]) == 0) return refuse(component, "name given twice: ", names[n]);
        rtapi_snprintf(out[n], sizeof out[n], "%s", names[n]);
    }
    return n;
}

void *trelvo_hal_aligned(size_t size, size_t align) {
    char *memory = hal_malloc(size + align);
    if (memory == 0) return 0;
    return memory + (align - (uintptr_t)memory % align) % align;
}

int trelvo_load_instances(const char *component, int count, char *const *names, size_t size,
                          int (*export_one)(const char *prefix, void *instance), int *comp_id) {
    trelvo_instance_name prefixes[TRELVO_MAX_INSTANCES];
    char *blocks;
    int n;
    const int wanted = trelvo_instance_names(component, count, names, prefixes);
    if (wanted < 0) return wanted;
    *comp_id = hal_init(component);
    if (*comp_id < 0) return *comp_id;
    blocks = hal_malloc(wanted * size);
    if (blocks == 0) {
        hal_exit(*comp_id);
        return -ENOMEM;
    }
    for (n = 0; n < wanted; ++n) {
        if (export_one(prefixes[n], blocks + n * size) != 0) {
            rtapi_print_msg(RTAPI_MSG_ERR, "%s: cannot export %s\n", component, prefixes[n]);
            hal_exit(*comp_id);
            return -EINVAL;
        }
    }
    hal_ready(*comp_id);
    return 0;
}
