/* A HAL component's instances: their names from loadrt's count= and names=, their memory, their loading; shared by trelvo40 and trelvo40rx. */
#ifndef TRELVO_INSTANCE_NAMES_H
#define TRELVO_INSTANCE_NAMES_H

#include "hal.h"

#define TRELVO_MAX_INSTANCES 8

/* count= as loadrt leaves it when it is not given: an explicit count=0 or count=-1 is then told apart
   and refused. */
#define TRELVO_COUNT_UNSET (-2147483647 - 1)

typedef char trelvo_instance_name[HAL_NAME_LEN + 1];

/* Fills out[] with the instances' prefixes: "component.0" .. for count=N (1 when neither is given),
   names[] as given for names=a,b. names has TRELVO_MAX_INSTANCES + 1 entries so that a ninth name
   is seen. Returns the number of instances, or -EINVAL after one rtapi_print_msg saying why. */
int trelvo_instance_names(const char *component, int count, char *const *names,
                          trelvo_instance_name out[TRELVO_MAX_INSTANCES]);

/* `size` bytes of HAL's memory at a multiple of `align`, for a C++ object the C glue holds; 0 when
   there is none. */
void *trelvo_hal_aligned(size_t size, size_t align);

/* rtapi_app_main's work for a component of such instances: the names above, hal_init (its id into
   *comp_id, which the component's pins need), one `size`-byte block per instance in HAL's memory,
   `export_one` for each, hal_ready. Returns 0, or a negative error after one rtapi_print_msg. */
int trelvo_load_instances(const char *component, int count, char *const *names, size_t size,
                          int (*export_one)(const char *prefix, void *instance), int *comp_id);

#endif
