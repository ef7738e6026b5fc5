/*
 * zmr.h - the merchant-side library of the Zelmor electronic identity and
 * signature scheme.
 *
 * Conventions
 *   Every function returns a status code: 0 on success, else a code whose
 *   thousands name the component that failed (2xxx session store and
 *   configuration, 25xxx PKCS#11, 35xxx HTTP client, ...). Codes are frozen:
 *   a code once published keeps its meaning. There is no table of texts;
 *   the text of a failure is the calling thread's recent error, read with
 *   zmr_getrecenterror().
 *
 *   Every result handed to the caller is newly allocated and belongs to the
 *   caller, who releases it with zmr_free() (or the dedicated free function
 *   named in the function's comment). Inputs are never taken over.
 *
 * Thread safety
 *   The library starts no thread; every call runs on the caller's thread.
 *   zmr_initialize / zmr_hsminitialize and zmr_finalize must not run
 *   concurrently with any other call. After start-up every function may be
 *   called from any number of threads at once. Merchant sessions are shared
 *   by all threads; the host must not close a session while another thread
 *   still uses it. The recent error, the info items and the document list
 *   belong to the calling thread: the calls of one transaction must run on
 *   one thread, and a thread's data is released when the thread exits.
 */
#ifndef ZMR_ZMR_H
#define ZMR_ZMR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZMR_BUILDING)
#define ZMR_EXPORT __attribute__((visibility("default")))
#else
#define ZMR_EXPORT
#endif

/* Status codes shared by all components. */
#define ZMR_OK 0
#define ZMR_E_NOMEM 33001         /* out of memory */
#define ZMR_E_BADARG 33002        /* null required pointer, negative number */
#define ZMR_E_UNREADABLE 33003    /* a pointer the kernel reports unreadable */
#define ZMR_E_TRUNCATED 33004     /* a result did not fit */
#define ZMR_E_NOSESSION 2009      /* the session number is not open */

#ifdef __cplusplus
}
#endif

#endif /* ZMR_ZMR_H */
