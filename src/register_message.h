/* The 6-byte registration message that opens every connection: 00 00 00 02 00 00. */
#ifndef VESKA_SRC_REGISTER_MESSAGE_H
#define VESKA_SRC_REGISTER_MESSAGE_H

#ifdef __cplusplus
extern "C" {
#endif

int VE_serialise_register_message(unsigned char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_REGISTER_MESSAGE_H */
