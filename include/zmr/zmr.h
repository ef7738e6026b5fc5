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

/* ---------------------------------------------------------------------------
 * Releasing results
 */

/* Releases a text or buffer the library handed out. 33002 for NULL. */
ZMR_EXPORT int zmr_free(void *pointer);

/* ---------------------------------------------------------------------------
 * Recent error, info items and documents (all per calling thread)
 */

/* Hands over and clears the calling thread's recent error: the lines the
 * failing steps of the last operation appended. *text is NULL when there is
 * none; free it with zmr_free. Works for any session number, so the text of
 * a failed session opening can be read. */
ZMR_EXPORT int zmr_getrecenterror(int session, char **text);

/* Appends an info item (key compared without regard to case; items are
 * never replaced, a lookup finds the first one pushed). At most 500 per
 * thread: 2023. 2009 when the session is not open. */
ZMR_EXPORT int zmr_setinfoitem(int session, const char *key, const char *value);

/* Copies the value of the first info item with this key into *value (free
 * with zmr_free); the item stays. 2022 when there is none (*value NULL). */
ZMR_EXPORT int zmr_getinfoitem(int session, const char *key, char **value);
/* The same as zmr_getinfoitem. */
ZMR_EXPORT int zmr_getreportdata(int session, const char *key, char **value);

/* Removes the calling thread's info items and documents. Call it before the
 * thread handles its next transaction. */
ZMR_EXPORT int zmr_removeinfoitems(int session);

/* Add a document to the calling thread's document list for signing: plain
 * text, XML with its XSL, or a base64 PDF. The library keeps copies. */
ZMR_EXPORT int zmr_adddocumenttext(int session, const char *text, const char *description);
ZMR_EXPORT int zmr_adddocumentxml(int session, const char *xml, const char *xsl, const char *description);
ZMR_EXPORT int zmr_adddocumentpdf(int session, const char *pdfbase64, const char *description);

/* Stores signed data (base64) in the first document, or in a new record of
 * its own when the first already has some. */
ZMR_EXPORT int zmr_setsigneddata(int session, const char *signeddata);

/* Copies two fields of document number index (0-based) of the calling
 * thread: its signed data and the merchant's PKCS#7; the end user's PKCS#7
 * and the OCSP response; or the end user's PKCS#7 and the full OCSP
 * response. Both results are freed with zmr_free. 2022 when there is no
 * such document or a field is empty (both results NULL). */
ZMR_EXPORT int zmr_getsigneddata(int session, int index, char **signeddata, char **merchantpkcs7);
ZMR_EXPORT int zmr_getsignatureandocsp(int session, int index, char **clientpkcs7, char **ocsp);
ZMR_EXPORT int zmr_getsignatureandfullocsp(int session, int index, char **clientpkcs7, char **fullocsp);

/* ---------------------------------------------------------------------------
 * Hashing, random, base64, text and version
 */

/* Digest algorithms of zmr_hashdata. Any other non-negative value: 7001. */
#define ZMR_HASH_SHA1 0
#define ZMR_HASH_MD5 1
#define ZMR_HASH_SHA256 2

/* Digests the bytes that the base64 text data stands for and hands the
 * digest back in base64 in *digest (free with zmr_free). 21002 when data is
 * not base64. */
ZMR_EXPORT int zmr_hashdata(int session, char **digest, int algorithm, const char *data);

/* count random bytes from OpenSSL's generator, in base64 (free with
 * zmr_free). 33001 for a count of 0 or above 2^31-1; 17005 when the
 * generator fails. */
ZMR_EXPORT int zmr_getrandom(int session, char **random, uint64_t count);

/* Base64 (standard alphabet, "=" padding, one line) of length bytes. 21001
 * for length 0; 33002 above 2^31-1 bytes. Free *text with zmr_free. */
ZMR_EXPORT int zmr_base64encode(int session, const unsigned char *data, uint64_t length, char **text);

/* Decodes base64 text (line breaks and blanks skipped; anything else that is
 * not base64 fails with 21002) into *bytes (not NUL-terminated; free with
 * zmr_free) and *length. */
ZMR_EXPORT int zmr_base64decode(int session, const char *text, unsigned char **bytes, uint64_t *length);

/* The text without carriage returns and line feeds (free with zmr_free). */
ZMR_EXPORT int zmr_removecrlf(int session, const char *text, char **result);

/* The version text: bracketed key=value items naming this library's version
 * and the OpenSSL, Expat and compiler versions. Free with zmr_free. Needs no
 * initialisation. */
ZMR_EXPORT int zmr_getversioninfo(char **text);

/* ---------------------------------------------------------------------------
 * Host-visible functions outside the zmr_ prefix
 */

/* Two-key triple DES (DES-EDE-CBC, zero IV, PKCS#7 padding). key is base64
 * of at least 16 bytes (the first 8 the first DES key, the next 8 the
 * second); input and *output are base64. Free *output with zmr_free.
 * Encryption: 24001-24003; decryption: 23001-23003 (23003 for a wrong key
 * or padding); 21xxx for bad base64; 33002 for a key shorter than 16 bytes. */
ZMR_EXPORT int symmetricencrypt(int session, const char *key, const char *plain, char **cipher);
ZMR_EXPORT int symmetricdecrypt(int session, const char *key, const char *cipher, char **plain);

#ifdef __cplusplus
}
#endif

#endif /* ZMR_ZMR_H */
