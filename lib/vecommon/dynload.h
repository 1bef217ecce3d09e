/* Dynamic loading. A short name (no '/', not starting with '.') becomes "lib" name ".so". */
#ifndef VESKA_VECOMMON_DYNLOAD_H
#define VESKA_VECOMMON_DYNLOAD_H

#ifdef __cplusplus
extern "C" {
#endif

/* null opens the program itself (the global symbol scope). Lazy binding, local scope. A
 * short name the loader does not find is also looked for in this library's own directory
 * (its $ORIGIN), which matters when a sanitizer intercepts dlopen. Null on failure; the
 * reason is then available from QIVA_dlerror. These functions never log. */
void *QIVA_dlopen(const char *path);
/* A null handle is ignored. */
void QIVA_dlclose(void *handle);
/* Straight to the loader; null for a null name. */
void *QIVA_dlsym(void *handle, const char *name);
/* The loader's latest error text into buffer (size bytes, always terminated); returns it. */
char *QIVA_dlerror(char *buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_DYNLOAD_H */
