/* Functions of the C translation unit that compiles the public header. */
#ifndef VBD_TESTS_PUBLIC_HEADER_C_H
#define VBD_TESTS_PUBLIC_HEADER_C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A 200-byte status reply to cmd with the int32 status at data offset 0. */
void vbd_c_status_reply(void* out, int cmd, int32_t status);
/* A 200-byte auto-feedback message with the text. */
void vbd_c_feedback(void* out, const char* text);
/* The standby mode of a standby message, -1 for any other kind. */
int vbd_c_standby_of(const void* body);

#ifdef __cplusplus
}
#endif

#endif
