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
 *   Arguments are checked before anything runs: a null required pointer or
 *   a negative number gives 33002, a pointer the process cannot read 33003
 *   (a text when any byte up to its terminating NUL is unreadable; a buffer
 *   with a length or an out-pointer when its first byte is).
 *
 * Thread safety
 *   The library starts no thread; every call runs on the caller's thread.
 *   zmr_initialize / zmr_hsminitialize and zmr_finalize must not run
 *   concurrently with any other call. After start-up every function may be
 *   called from any number of threads at once. Merchant sessions are shared
 *   by all threads, and closing a session that other threads are using is
 *   safe: a call keeps what it uses of its session until it returns, a call
 *   that starts after the close gets 2009 (or the new session, should the
 *   number have been handed out again), and the last call to finish ends
 *   the session's HSM login. The recent error, the info items and the
 *   document list belong to the calling thread: the calls of one
 *   transaction must run on one thread. A thread's data lasts until the
 *   thread really ends: its exit destructors (pthread keys, C++
 *   thread_local) and, in the main thread, atexit handlers may still call
 *   the library and see it. It is released when the thread ends (the main
 *   thread's with the process). Besides these, each thread that verifies
 *   keeps the last 8 certificates it decoded (some 40 KB), so that the
 *   certificates seen on every call are not decoded again.
 */
#ifndef ZMR_ZMR_H
#define ZMR_ZMR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every export returns a status; with GCC and Clang a caller that drops it
 * is warned. Deliberately no nonnull: it would let the compiler remove the
 * library's own checks for a null argument. */
#if defined(ZMR_BUILDING)
#define ZMR_EXPORT __attribute__((visibility("default"), warn_unused_result))
#elif defined(__GNUC__)
#define ZMR_EXPORT __attribute__((warn_unused_result))
#else
#define ZMR_EXPORT
#endif

/* Status codes: 0 is success; every other code the library returns, with
 * its meaning. The thousands name the component. Numbers are frozen. */
#define ZMR_OK 0
/* 1xxx plain TCP client */
#define ZMR_E_SOCK_RESOLVE                  1001 /* the server's DNS name does not resolve */
#define ZMR_E_SOCK_SOCKET                   1002 /* no local socket could be created */
#define ZMR_E_SOCK_CONNECT                  1004 /* no TCP connection to the server */
#define ZMR_E_SOCK_SEND                     1005 /* the request could not be sent */
#define ZMR_E_SOCK_TOOLARGE                 1007 /* the answer does not fit the receive buffer */
#define ZMR_E_SOCK_RECEIVE                  1008 /* a socket error while receiving */
#define ZMR_E_SOCK_CLOSE                    1009 /* the socket could not be closed */
/* 2xxx session store, configuration, key file, per-thread stores */
#define ZMR_E_PROPS_OPEN                    2001 /* the properties file cannot be opened or read */
#define ZMR_E_PROPS_LINE                    2002 /* a properties line holds no equals sign (or a NUL) */
#define ZMR_E_PROPS_TOOMANY                 2003 /* more than 50 properties */
#define ZMR_E_PROPERTY_ABSENT               2004 /* a property is absent */
#define ZMR_E_PROPS_KEYTOOLONG              2005 /* a property key is longer than 1023 characters */
#define ZMR_E_PROPS_VALUETOOLONG            2006 /* a property value is longer than 1023 characters */
#define ZMR_E_KEYFILE_OPEN                  2007 /* the key file cannot be opened or read */
#define ZMR_E_NOSESSIONLEFT                 2008 /* no session number left (1000 sessions open) */
#define ZMR_E_NOSESSION                     2009 /* the session number is not open */
#define ZMR_E_KEYFILE_FORMAT                2010 /* the key file is no PKCS#12 structure, or a safe cannot be unpacked or holds no bag */
#define ZMR_E_KEYFILE_SAFE                  2011 /* an encrypted safe of the key file cannot be decrypted */
#define ZMR_E_KEYFILE_SHROUDED              2012 /* a shrouded key bag cannot be decrypted */
#define ZMR_E_KEYFILE_NOKEY                 2013 /* a key bag holds no key */
#define ZMR_E_KEYFILE_KEYS                  2014 /* the key file holds more than two merchant keys */
#define ZMR_E_KEYFILE_CERTS                 2015 /* the key file holds more than two merchant certificates */
#define ZMR_E_KEYFILE_USAGE                 2016 /* a merchant certificate is for neither digitalSignature nor nonRepudiation */
#define ZMR_E_NOTFOUND                      2022 /* the info item, document or document field is not there */
#define ZMR_E_TOOMANYITEMS                  2023 /* the thread holds 500 info items already */
#define ZMR_E_TLS_CONTEXT                   2024 /* a TLS client context cannot be made or refuses the cipher list */
#define ZMR_E_TRUSTSTORE                    2026 /* the trust store cannot be loaded or is not there */
#define ZMR_E_NOTLSCONTEXT                  2027 /* the session holds no TLS client context of that kind */
#define ZMR_E_PROPS_CLOSE                   2028 /* the properties file cannot be closed */
#define ZMR_E_KEYFILE_CLOSE                 2029 /* the key file cannot be closed */
#define ZMR_E_KEYFILE_CASTACK               2030 /* a CA certificate cannot be added to the stack */
#define ZMR_E_NOTHREADSLOT                  2032 /* all 10000 thread slots are taken */
#define ZMR_E_UNKNOWN_ENVIRONMENT           2033 /* a self-signed certificate of no known environment */
#define ZMR_E_NOMERCHANTCERT                2037 /* no merchant certificate (or no readable HSM key id) */
#define ZMR_E_NOSIGNLABEL                   2038 /* no signing-key label (not an HSM key file) */
#define ZMR_E_NOSIGNKEY                     2039 /* the session holds no signing key */
#define ZMR_E_NOAUTHKEY                     2040 /* the session holds no authentication key */
#define ZMR_E_NOSIGNCERT                    2041 /* the session holds no signing certificate */
#define ZMR_E_NOVERIFIERKEY                 2042 /* no central verifier key stored yet */
#define ZMR_E_NOAUTHCERT                    2043 /* the session holds no authentication certificate */
#define ZMR_E_NOCACERTS                     2044 /* the session holds no CA certificates */
#define ZMR_E_NOAUTHLABEL                   2045 /* no authentication-key label (not an HSM key file) */
#define ZMR_E_KEYFILE_PASSWORD              2046 /* the key file's MAC does not verify (wrong password or damaged file) */
#define ZMR_E_KEYFILE_POLICY                2047 /* a sign-only key file whose certificate lacks the sign-only policy */
#define ZMR_E_KEYFILE_MISMATCH              2048 /* the key file's keys and certificates do not pair */
#define ZMR_E_NOTINITIALIZED                2049 /* a session opened before zmr_initialize or after zmr_finalize */
/* 3xxx named mutexes */
#define ZMR_E_LOCK_TAKE                     3002 /* a named mutex cannot be taken */
#define ZMR_E_LOCK_RELEASE                  3003 /* a named mutex cannot be released */
#define ZMR_E_LOCKNAME                      3004 /* the mutex name is none of the seven */
/* 4xxx PKCS#7 signing */
#define ZMR_E_SIGN_CERTTYPE                 4001 /* the certificate type is neither signing nor authentication */
#define ZMR_E_SIGN_DIGESTINIT               4002 /* the digest of the data cannot be started */
#define ZMR_E_SIGN_DIGESTUPDATE             4003 /* the digest of the data cannot be updated */
#define ZMR_E_SIGN_DIGESTFINAL              4004 /* the digest of the data cannot be finished */
#define ZMR_E_SIGN_INIT                     4005 /* software signing cannot be started */
#define ZMR_E_SIGN_UPDATE                   4006 /* software signing cannot be updated */
#define ZMR_E_SIGN_FINAL                    4007 /* software signing cannot be finished */
#define ZMR_E_SIGN_HSMCONTEXT               4008 /* the session's HSM context cannot be read */
#define ZMR_E_SIGN_HSM                      4009 /* the HSM signature failed */
#define ZMR_E_SIGN_PKCS7                    4010 /* the PKCS#7 cannot be created */
#define ZMR_E_SIGN_SIGNERINFO               4011 /* the SignerInfo cannot be built or added */
#define ZMR_E_SIGN_DIGESTINFO               4012 /* the DigestInfo for the HSM cannot be built */
#define ZMR_E_SIGN_TOOLARGE                 4013 /* the HSM signature exceeds 4096 bytes */
#define ZMR_E_SIGN_P7TYPE                   4014 /* the PKCS#7 type cannot be set */
/* 5xxx signature verification */
#define ZMR_E_P7_PARSE                      5001 /* the PKCS#7 is not base64 DER */
#define ZMR_E_P7_NOTSIGNED                  5002 /* the PKCS#7 is not signedData */
#define ZMR_E_P7_NODATA                     5003 /* a detached PKCS#7 and no data to verify */
#define ZMR_E_P7_NOSIGNERINFO               5004 /* the PKCS#7 holds no SignerInfo */
#define ZMR_E_P7_NOSIGNERS                  5005 /* the signer certificates are not found */
#define ZMR_E_VERIFY_STOREINIT              5006 /* the certificate store context cannot be initialised */
#define ZMR_E_VERIFY_FAILED                 5007 /* the signature or its chain does not verify */
#define ZMR_E_VERIFY_STORECTX               5008 /* no certificate store context */
/* 6xxx certificate readers and checks */
#define ZMR_E_POLICY_NOT_GRANTED            6001 /* the certificate carries no granted policy */
#define ZMR_E_USAGE_MISMATCH                6002 /* the key usage is not the one required */
#define ZMR_E_KEYALGORITHM                  6003 /* the certificate's key algorithm is not supported */
#define ZMR_E_NOUNIQUEID                    6004 /* the certificate has neither serialNumber nor OU */
#define ZMR_E_NOORIGINATOR                  6005 /* the certificate has no originator extension */
#define ZMR_E_NOBANKNAME                    6006 /* the certificate has no bank-name extension */
#define ZMR_E_NODATEOFBIRTH                 6007 /* the certificate has no date of birth */
#define ZMR_E_NOPOLICYOID                   6008 /* the certificate's policy OID cannot be read */
#define ZMR_E_NOAIA                         6009 /* the certificate has no AIA location */
#define ZMR_E_NOCOMMONNAME                  6011 /* the certificate's common name is missing or empty */
#define ZMR_E_KEYUSAGE                      6012 /* the key usage is neither authentication nor signing */
#define ZMR_E_NOEMAIL                       6013 /* the certificate's e-mail address is missing or empty */
#define ZMR_E_CERT_TIMETEXT                 6015 /* a certificate or signing time cannot be written as text */
#define ZMR_E_TIME_NOSIGNERS                6016 /* the PKCS#7 holds no signer information */
#define ZMR_E_CERT_NOTBEFORE                6018 /* the notBefore date cannot be read */
#define ZMR_E_CERT_NOTAFTER                 6019 /* the notAfter date cannot be read */
#define ZMR_E_TIME_PARSE                    6020 /* the PKCS#7 for the signing-time check cannot be parsed */
#define ZMR_E_TIME_NOSIGNERCERT             6021 /* the PKCS#7 for the signing-time check has no signer */
#define ZMR_E_SIGNED_AFTER_VALIDITY         6022 /* the signing time lies after the certificate's notAfter */
#define ZMR_E_SIGNED_BEFORE_VALIDITY        6023 /* the signing time lies before the certificate's notBefore */
#define ZMR_E_MERCHANT_NOCERT               6024 /* the merchant's signer certificate cannot be found */
#define ZMR_E_MERCHANT_NOID                 6025 /* the merchant id cannot be read */
#define ZMR_E_MERCHANT_NONAME               6026 /* the merchant name cannot be read */
#define ZMR_E_NOPHONENUMBER                 6027 /* the certificate has no phone number */
#define ZMR_E_CERT_PEM                      6030 /* the certificate cannot be written as PEM */
/* 7xxx exported enumeration values */
#define ZMR_E_BADALGORITHM                  7001 /* the hash algorithm value is none of the three */
#define ZMR_E_BADPKCS7ITEM                  7002 /* the PKCS#7 information item is none of the list */
/* 8xxx PKCS#7 information */
#define ZMR_E_INFO_PARSE                    8001 /* the PKCS#7 cannot be parsed */
#define ZMR_E_INFO_NOSIGNERS                8002 /* the PKCS#7 holds no signer information */
#define ZMR_E_INFO_NOSIGNERCERT             8003 /* the signing certificate is not found */
#define ZMR_E_INFO_ITEM                     8004 /* the requested item cannot be read */
/* 10xxx request-header tools, form pairs */
#define ZMR_E_HEADER_URL                   10001 /* the URL or Host entry is not valid */
#define ZMR_E_HEADER_SERVERSIZE            10002 /* the server name or port does not fit */
#define ZMR_E_HEADER_PARAMSIZE             10003 /* the GET parameter does not fit */
#define ZMR_E_HEADER_REQUESTSIZE           10004 /* the request does not fit */
#define ZMR_E_NOPAIR                       10005 /* a form pair without key or value */
/* 12xxx PKCS#7 checks, SDO signature elements */
#define ZMR_E_P7_NOSIGNERINFOS             12001 /* the PKCS#7 holds no signer information or signing certificate */
#define ZMR_E_P7_NOAUTHATTRS               12002 /* the authenticated attributes cannot be read */
#define ZMR_E_P7_DIGESTLENGTH              12003 /* the message digest lengths or values differ */
#define ZMR_E_P7_NOPUBKEY                  12004 /* the signer's public key is not found */
#define ZMR_E_P7_DATATOOLARGE              12005 /* the hashed data does not fit */
#define ZMR_E_DIGEST_INIT                  12006 /* a PKCS#7 digest cannot be started */
#define ZMR_E_DIGEST_UPDATE                12007 /* a PKCS#7 digest cannot be updated */
#define ZMR_E_DIGEST_FINAL                 12008 /* a PKCS#7 digest cannot be finished */
#define ZMR_E_ATTR_PARSE                   12009 /* the PKCS#7 for the attribute check cannot be parsed */
#define ZMR_E_ATTR_NOTSIGNED               12010 /* the PKCS#7 for the attribute check is not signedData */
#define ZMR_E_ATTR_NOSIGNERS               12011 /* the PKCS#7 for the attribute check has no signer */
#define ZMR_E_ATTR_MISSING                 12012 /* a required signed attribute is missing (or an invalid SDO signature element) */
#define ZMR_E_ATTR_NOCHANNEL               12013 /* the ZMR Channel signed attribute is missing */
#define ZMR_E_ATTR_NONCE                   12014 /* the nonce attribute has the wrong value */
#define ZMR_E_P7_CERTHASH                  12016 /* the signing-certificate hash is not SHA-256 */
#define ZMR_E_P7_CERTDER                   12017 /* the signer certificate cannot be encoded */
#define ZMR_E_P7_CERTHASHMISMATCH          12018 /* the signing-certificate hash does not verify */
#define ZMR_E_P7_SIGNERINFO                12019 /* the signer info cannot be parsed */
/* 13xxx OCSP and certificate status */
#define ZMR_E_OCSP_SIGN                    13001 /* the OCSP request cannot be signed */
#define ZMR_E_OCSP_AIA                     13002 /* the AIA location is neither http nor https */
#define ZMR_E_OCSP_HTTPSTATUS              13003 /* the VA did not answer 200 OK */
#define ZMR_E_OCSP_HTTPFORMAT              13004 /* the VA's HTTP answer has no header end */
#define ZMR_E_OCSP_NOLENGTH                13005 /* the VA's HTTP answer has no Content-Length */
#define ZMR_E_OCSP_LENGTHEND               13006 /* the Content-Length line has no end */
#define ZMR_E_OCSP_NOBASIC                 13007 /* the OCSP response holds no basic response */
#define ZMR_E_OCSP_PARSE                   13008 /* the OCSP response cannot be parsed */
#define ZMR_E_OCSP_NONCE                   13009 /* the OCSP nonce differs from the request's */
#define ZMR_E_OCSP_SERIAL                  13010 /* the OCSP serial differs from the request's */
#define ZMR_E_OCSP_NOSIGNER                13011 /* the OCSP response has no signing certificate */
#define ZMR_E_REVOKED                      13012 /* the certificate is revoked */
#define ZMR_E_OCSP_UNKNOWN                 13014 /* the VA cannot decide the certificate's status */
#define ZMR_E_OCSP_MALFORMED               13018 /* the VA did not understand the request */
#define ZMR_E_OCSP_INTERNAL                13019 /* the VA reports an internal error */
#define ZMR_E_OCSP_TRYLATER                13020 /* the VA asks to try later */
#define ZMR_E_OCSP_SIGREQUIRED             13021 /* the VA requires a signed request */
#define ZMR_E_OCSP_UNAUTHORIZED            13022 /* the VA refuses access to the certificate */
#define ZMR_E_OCSP_VERIFY                  13023 /* the OCSP response does not verify */
#define ZMR_E_OCSP_BADLENGTH               13024 /* the Content-Length value is not valid */
#define ZMR_E_OCSP_PORT                    13026 /* the AIA location's port cannot be read */
#define ZMR_E_OCSP_HSMCONTEXT              13027 /* the session's HSM context cannot be read for signing */
#define ZMR_E_OCSP_TIMEOUT                 13029 /* the vatimeout property is invalid */
#define ZMR_E_OCSP_STORECTX                13030 /* no certificate store context for the VA certificate */
#define ZMR_E_OCSP_VACERT                  13031 /* the VA certificate does not verify */
#define ZMR_E_OCSP_STOREINIT               13032 /* the VA certificate store cannot be initialised */
#define ZMR_E_OCSP_NOT_CURRENT             13033 /* an OCSP answer is not current at the time it is judged */
/* 16xxx server challenge */
#define ZMR_E_CHALLENGE_RANDOM             16001 /* the server challenge cannot be drawn */
#define ZMR_E_CHALLENGE_NOMERCHANT         16002 /* the mobile server challenge lacks the merchant's name */
/* 17xxx hashing, random */
#define ZMR_E_HASH_ALGORITHM               17001 /* the hash algorithm is not supported */
#define ZMR_E_HASH_INIT                    17002 /* the digest cannot be started */
#define ZMR_E_HASH_UPDATE                  17003 /* the digest cannot be updated */
#define ZMR_E_HASH_FINAL                   17004 /* the digest cannot be finished */
#define ZMR_E_RANDOM_FAILED                17005 /* the random generator fails */
/* 18xxx SDO XML size and mandatory parts */
#define ZMR_E_SDO_TOOLARGE                 18001 /* the SDO XML does not fit the computed size */
#define ZMR_E_SDO_NOHANDLE                 18002 /* no SDO handle */
#define ZMR_E_SDO_NOSDO                    18003 /* the handle holds no SDO */
#define ZMR_E_SDO_MANY                     18004 /* the handle holds more than one SDO */
#define ZMR_E_SDO_NODATAPART               18005 /* the SDO has no data part */
#define ZMR_E_SDO_NOVERSION                18007 /* the SDO has no version */
#define ZMR_E_SDO_NOELEMENTS               18008 /* the data part has no signature element */
#define ZMR_E_SDO_NOELEMENT                18010 /* a data-part entry has no element */
#define ZMR_E_SDO_DATANO_HASHEDDATA        18011 /* a data-part signature element has no hashed data */
#define ZMR_E_SDO_DATANO_DIGESTMETHOD      18012 /* a data-part signature element has no digest method */
#define ZMR_E_SDO_DATANO_DIGESTVALUE       18013 /* a data-part signature element has no digest value */
#define ZMR_E_SDO_DATANO_POLICYIDENTIFIER  18014 /* a data-part signature element has no signature policy identifier */
#define ZMR_E_SDO_DATANO_POLICYID          18015 /* a data-part signature element has no signature policy id */
#define ZMR_E_SDO_DATANO_SIGPOLICYID       18016 /* a data-part signature element has no policy id value */
#define ZMR_E_SDO_DATANO_IDENTIFIER        18017 /* a data-part signature element has an empty policy identifier */
#define ZMR_E_SDO_DATANO_DOCFORMAT         18018 /* a data-part signature element has no signer's document format */
#define ZMR_E_SDO_DATANO_MIMETYPE          18019 /* a data-part signature element has no mime type */
#define ZMR_E_SDO_DATANO_CERTDATA          18020 /* a data-part signature element has no certificate and revocation data */
#define ZMR_E_SDO_DATANO_REVOCATIONVALUES  18021 /* a data-part signature element has no revocation values */
#define ZMR_E_SDO_DATANO_OCSPVALUES        18022 /* a data-part signature element has no OCSP values */
#define ZMR_E_SDO_DATANO_OCSPVALUE         18023 /* a data-part signature element has an empty OCSP value */
#define ZMR_E_SDO_DATANO_CMSSIGNATURE      18024 /* a data-part signature element has no CMS signature */
#define ZMR_E_SDO_DATANO_SDOPROFILE        18025 /* a data-part signature element has no SDO profile */
#define ZMR_E_SDO_NOSEALSIG                18026 /* the seal has no SDO signature */
#define ZMR_E_SDO_NOSEALELEMENT            18027 /* the seal's signature has no element */
#define ZMR_E_SDO_SEALNO_HASHEDDATA        18028 /* the seal's signature element has no hashed data */
#define ZMR_E_SDO_SEALNO_DIGESTMETHOD      18029 /* the seal's signature element has no digest method */
#define ZMR_E_SDO_SEALNO_DIGESTVALUE       18030 /* the seal's signature element has no digest value */
#define ZMR_E_SDO_SEALNO_POLICYIDENTIFIER  18031 /* the seal's signature element has no signature policy identifier */
#define ZMR_E_SDO_SEALNO_POLICYID          18032 /* the seal's signature element has no signature policy id */
#define ZMR_E_SDO_SEALNO_SIGPOLICYID       18033 /* the seal's signature element has no policy id value */
#define ZMR_E_SDO_SEALNO_IDENTIFIER        18034 /* the seal's signature element has an empty policy identifier */
#define ZMR_E_SDO_SEALNO_DOCFORMAT         18035 /* the seal's signature element has no signer's document format */
#define ZMR_E_SDO_SEALNO_MIMETYPE          18036 /* the seal's signature element has no mime type */
#define ZMR_E_SDO_SEALNO_CERTDATA          18037 /* the seal's signature element has no certificate and revocation data */
#define ZMR_E_SDO_SEALNO_REVOCATIONVALUES  18038 /* the seal's signature element has no revocation values */
#define ZMR_E_SDO_SEALNO_OCSPVALUES        18039 /* the seal's signature element has no OCSP values */
#define ZMR_E_SDO_SEALNO_OCSPVALUE         18040 /* the seal's signature element has an empty OCSP value */
#define ZMR_E_SDO_SEALNO_CMSSIGNATURE      18041 /* the seal's signature element has no CMS signature */
#define ZMR_E_SDO_SEALNO_SDOPROFILE        18042 /* the seal's signature element has no SDO profile */
/* 20xxx SDO validation */
#define ZMR_E_SDO_VERSION                  20001 /* the SDO version or policy is not supported */
#define ZMR_E_SDOLIST_EMPTY                20002 /* the SDO holds no SDO list */
#define ZMR_E_SDOLIST_MANY                 20003 /* the SDO list holds more than one entry */
#define ZMR_E_SDOLIST_NOVERSION            20004 /* the SDO list entry has no version */
#define ZMR_E_SDOLIST_NODATAPART           20005 /* the SDO list entry has no data part */
#define ZMR_E_SDOLIST_NOSIGNATURE          20006 /* the SDO list entry has no signature */
#define ZMR_E_SDOLIST_NOPOLICY             20007 /* the data part has no policy */
#define ZMR_E_SDOLIST_NOHASH               20008 /* the data part has no hashed data */
#define ZMR_E_SDOLIST_NODATATYPE           20009 /* the data part has no data type */
#define ZMR_E_SDOLIST_NODATA               20012 /* the SDO holds no data to compare */
#define ZMR_E_SDOLIST_HASHLENGTH           20013 /* the data digest's length or value differs */
#define ZMR_E_SDOLIST_NOSIGLIST            20014 /* the data part has no signature list */
#define ZMR_E_SDOLIST_SIGFORMAT            20015 /* a signature element's format does not verify */
#define ZMR_E_SDO_NOOCSP                   20016 /* a signature element holds no OCSP response */
#define ZMR_E_SDO_OCSPEMPTY                20017 /* a signature element's OCSP response is empty */
#define ZMR_E_SDO_OCSPPARSE                20018 /* a signature element's OCSP response cannot be parsed */
#define ZMR_E_SDO_OCSPNOTBS                20019 /* the OCSP response has no tbsResponseData */
#define ZMR_E_SDO_OCSPNOPRODUCED           20020 /* the OCSP response has no producedAt */
#define ZMR_E_SDO_OCSPNOSINGLE             20021 /* the OCSP response has no single response */
#define ZMR_E_SDO_OCSPNOTGOOD              20022 /* the OCSP status is not good */
#define ZMR_E_SDO_SIGPARSE                 20023 /* a signature element's CMS signature cannot be parsed */
#define ZMR_E_SDO_OCSPNOCERTID             20024 /* the OCSP single response has no certId */
#define ZMR_E_SDO_OCSPSERIAL               20025 /* the OCSP serial differs from the signer's */
#define ZMR_E_SDO_OCSPISSUER               20026 /* the OCSP issuer-name hash differs from the signer's */
#define ZMR_E_SDOLIST_OCSPGAP              20027 /* the OCSP producedAt dates lie too far apart */
#define ZMR_E_SDOLIST_SIGCOUNT             20029 /* the SDO list does not hold two signature elements */
#define ZMR_E_SDO_DIGESTMETHOD             20033 /* a digest method or policy is not accepted */
#define ZMR_E_SDO_MIMETYPE                 20034 /* a mime type is not accepted */
#define ZMR_E_SDO_PROFILE                  20035 /* a signature profile is not accepted */
#define ZMR_E_SDO_DOCHASH                  20037 /* the document's hash differs from the SDO's */
#define ZMR_E_SDO_NOSIGNEDOBJECT           20039 /* no signed object to validate against */
#define ZMR_E_SDO_DATAHASH                 20041 /* the data's hash differs from the SDO's */
#define ZMR_E_SDO_SIGCOUNT                 20042 /* the SDO lacks the required number of signatures */
#define ZMR_E_SDO_NOTSEALED                20043 /* the SDO is not sealed but must be */
#define ZMR_E_SDO_SEALED                   20044 /* the SDO is sealed but must not be */
#define ZMR_E_SDO_NOCONTRACT               20045 /* no contract in the SDO nor as argument */
/* 21xxx base64 */
#define ZMR_E_BASE64_ENCODE                21001 /* data cannot be base64 encoded */
#define ZMR_E_BASE64_DECODE                21002 /* the text is not valid base64 */
/* 22xxx asymmetric decryption, base-key unwrapping */
#define ZMR_E_KEYSTORE_OPEN                22001 /* the RSA private key store cannot be opened */
#define ZMR_E_KEYSTORE_PKCS8               22002 /* the key store holds no valid PKCS#8 */
#define ZMR_E_KEYSTORE_PASSWORD            22003 /* the PKCS#8 cannot be decrypted (wrong password?) */
#define ZMR_E_KEYSTORE_KEY                 22004 /* no private key from the decrypted PKCS#8 */
#define ZMR_E_RSA_DECRYPT                  22005 /* RSA decryption or unwrapping fails */
#define ZMR_E_DECRYPT_HSMCONTEXT           22006 /* the session's HSM context cannot be read for decryption */
/* 23xxx, 24xxx symmetric decryption and encryption */
#define ZMR_E_DECRYPT_INIT                 23001 /* decryption cannot be started */
#define ZMR_E_DECRYPT_UPDATE               23002 /* decryption cannot be updated */
#define ZMR_E_DECRYPT_FINAL                23003 /* decryption cannot be finished (wrong key or padding) */
#define ZMR_E_ENCRYPT_INIT                 24001 /* encryption cannot be started */
#define ZMR_E_ENCRYPT_UPDATE               24002 /* encryption cannot be updated */
#define ZMR_E_ENCRYPT_FINAL                24003 /* encryption cannot be finished */
/* 25xxx PKCS#11 client */
#define ZMR_E_HSM_LOAD                     25001 /* the PKCS#11 driver cannot be loaded */
#define ZMR_E_HSM_NOINITIALIZE             25002 /* the driver lacks C_Initialize */
#define ZMR_E_HSM_INITIALIZE               25003 /* C_Initialize fails */
#define ZMR_E_HSM_NOGETSLOTLIST            25004 /* the driver lacks C_GetSlotList */
#define ZMR_E_HSM_GETSLOTLIST              25005 /* C_GetSlotList fails */
#define ZMR_E_HSM_NOOPENSESSION            25006 /* the driver lacks C_OpenSession */
#define ZMR_E_HSM_OPENSESSION              25007 /* C_OpenSession fails */
#define ZMR_E_HSM_NOLOGIN                  25008 /* the driver lacks C_Login */
#define ZMR_E_HSM_LOGIN                    25009 /* C_Login or, in the slot search, C_Logout fails */
#define ZMR_E_HSM_NOLOGOUT                 25012 /* the driver lacks C_Logout */
#define ZMR_E_HSM_LOGOUT                   25013 /* C_Logout fails */
#define ZMR_E_HSM_NOCLOSESESSION           25014 /* the driver lacks C_CloseSession */
#define ZMR_E_HSM_CLOSESESSION             25015 /* C_CloseSession fails */
#define ZMR_E_HSM_NOFINALIZE               25016 /* the driver lacks C_Finalize */
#define ZMR_E_HSM_FINALIZE                 25017 /* C_Finalize fails */
#define ZMR_E_HSM_NOCREATEOBJECT           25018 /* the driver lacks C_CreateObject */
#define ZMR_E_HSM_CREATEOBJECT             25019 /* C_CreateObject fails */
#define ZMR_E_HSM_NOSIGNINIT               25020 /* the driver lacks C_SignInit */
#define ZMR_E_HSM_SIGNINIT                 25021 /* C_SignInit fails */
#define ZMR_E_HSM_NOSIGN                   25022 /* the driver lacks C_Sign */
#define ZMR_E_HSM_SIGN                     25023 /* C_Sign fails */
#define ZMR_E_HSM_NOFINDOBJECTSINIT        25024 /* the driver lacks C_FindObjectsInit */
#define ZMR_E_HSM_FINDOBJECTSINIT          25025 /* C_FindObjectsInit fails */
#define ZMR_E_HSM_NOFINDOBJECTS            25026 /* the driver lacks C_FindObjects */
#define ZMR_E_HSM_FINDOBJECTS              25027 /* C_FindObjects fails */
#define ZMR_E_HSM_NOFINDOBJECTSFINAL       25028 /* the driver lacks C_FindObjectsFinal */
#define ZMR_E_HSM_FINDOBJECTSFINAL         25029 /* C_FindObjectsFinal fails */
#define ZMR_E_HSM_NOKEY                    25030 /* no private key with the label */
#define ZMR_E_HSM_NOTOKEN                  25031 /* no slot holds a token */
#define ZMR_E_HSM_NOLABEL                  25032 /* the label is on no slot */
#define ZMR_E_HSM_NODRIVER                 25033 /* no PKCS#11 driver loaded */
#define ZMR_E_HSM_NODECRYPTINIT            25034 /* the driver lacks C_DecryptInit */
#define ZMR_E_HSM_NODECRYPT                25035 /* the driver lacks C_Decrypt */
#define ZMR_E_HSM_DECRYPTINIT              25036 /* C_DecryptInit fails */
#define ZMR_E_HSM_DECRYPT                  25037 /* C_Decrypt fails */
/* 26xxx SDO data, 27xxx string operations, 28xxx session opening */
#define ZMR_E_SDO_EMPTYHANDLE              26001 /* the handle holds no SDO to add data to */
#define ZMR_E_NOTEXT                       27001 /* the key or text is absent */
#define ZMR_E_CONFIG_EMPTY                 28001 /* webaddress, truststore or grantedpolicies is empty */
#define ZMR_E_CONFIG_FORM                  28002 /* webaddress or grantedpolicies is malformed */
#define ZMR_E_CONFIG_LOCALHOST             28003 /* the webaddress host begins with localhost */
#define ZMR_E_CONFIG_HOSTNAME              28004 /* the webaddress host name is malformed */
/* 29xxx PKCS#1 signing, 30xxx XML-DSig, 31xxx SDO signatures */
#define ZMR_E_P1_HSMCONTEXT                29004 /* the session's HSM context cannot be read */
#define ZMR_E_P1_INIT                      29005 /* PKCS#1 signing cannot be started */
#define ZMR_E_P1_UPDATE                    29006 /* PKCS#1 signing cannot be updated */
#define ZMR_E_P1_CERTTYPE                  29007 /* the certificate type is neither signing nor authentication */
#define ZMR_E_P1_FINAL                     29008 /* PKCS#1 signing cannot be finished */
#define ZMR_E_P1_TOOLARGE                  29009 /* the HSM signature exceeds 4096 bytes */
#define ZMR_E_XMLDSIG_POLICY               30001 /* the signing certificate is not an RA signing certificate */
#define ZMR_E_SDO_NOCONTENT                31001 /* no data and no signed document in the SDO */
/* 33xxx shared by all components */
#define ZMR_E_NOMEM                        33001 /* out of memory */
#define ZMR_E_BADARG                       33002 /* null required pointer, negative number */
#define ZMR_E_UNREADABLE                   33003 /* a pointer the kernel reports unreadable */
#define ZMR_E_TRUNCATED                    33004 /* a result did not fit */
/* 34xxx SDO XML reading */
#define ZMR_E_SDOXML_PARSE                 34001 /* the SDO XML is not well-formed */
#define ZMR_E_SDOXML_NOTSDO                34002 /* the XML is not SEID SDO XML */
#define ZMR_E_SDOXML_FORMAT                34003 /* the SDO must first be converted to the compliant format */
/* 35xxx HTTP client */
#define ZMR_E_HTTP_OK                      35000 /* the exchange succeeded (turned into 0 by http_post) */
#define ZMR_E_HTTP_BADARGS                 35001 /* no host, port, method or path */
#define ZMR_E_HTTP_PROXYCONNECT            35002 /* the proxy cannot be reached */
#define ZMR_E_HTTP_PROXYREAD               35003 /* the proxy's CONNECT reply cannot be read */
#define ZMR_E_HTTP_PROXYREPLY              35004 /* the proxy refuses the tunnel */
#define ZMR_E_HTTP_CONNECT                 35005 /* the server cannot be reached */
#define ZMR_E_HTTP_HANDSHAKE               35006 /* the TLS handshake or peer verification fails */
#define ZMR_E_HTTP_PEERCERT                35007 /* no TLS peer certificate (never produced) */
#define ZMR_E_HTTP_PEERSUBJECT             35008 /* no TLS peer subject name (never produced) */
#define ZMR_E_HTTP_PEERCN                  35009 /* no TLS peer common name (never produced) */
#define ZMR_E_HTTP_PEERMISMATCH            35010 /* TLS peer names differ (never produced) */
#define ZMR_E_HTTP_CONNECTION              35011 /* the connection fails while waiting, sending or reading */
#define ZMR_E_HTTP_PROXYAUTH               35012 /* the proxy rejects the credentials */
#define ZMR_E_HTTP_INTERNAL                35013 /* an internal HTTP client object cannot be made */
#define ZMR_E_HTTP_TIMEOUT                 35014 /* the exchange timed out */
#define ZMR_E_HTTP_INIT                    35015 /* the HTTP client cannot be started */
#define ZMR_E_HTTP_CLEANUP                 35016 /* the HTTP client cannot be stopped */
/* 36xxx mobile gateway sender, 37xxx mobile operations, 38xxx merchant references */
#define ZMR_E_MGW_ENVIRONMENT              36001 /* no mobile gateway for the environment */
#define ZMR_E_MGW_NOREPLY                  36004 /* no or a bad HTTP answer from the gateway */
#define ZMR_E_MGW_EMPTY                    36005 /* an empty answer from the gateway */
#define ZMR_E_MGW_NOSTATUS                 36006 /* the gateway's answer has no status code */
#define ZMR_E_MGW_STATUS                   36007 /* the gateway's status code is not OK */
#define ZMR_E_MOBILE_NOREFERENCE           37001 /* the gateway's answer has no transaction reference */
#define ZMR_E_MOBILE_NOSTATUS              37002 /* the gateway's answer has no transaction status */
#define ZMR_E_REFERENCE_RANDOM             38001 /* a random merchant reference cannot be drawn */
#define ZMR_E_REFERENCE_DICTIONARY         38002 /* the dictionaries cannot be fetched */
#define ZMR_E_REFERENCE_INVALID            38003 /* a received dictionary does not validate */
/* 39xxx transaction initialisation */
#define ZMR_E_NONEXTURL                    39001 /* the mandatory nextURL item is missing */
#define ZMR_E_NOCLIENTCHALLENGE            39003 /* the transaction data has no clientChallenge */
#define ZMR_E_BADMIMETYPE                  39005 /* the mime type is not valid */
#define ZMR_E_BADOPERATION                 39006 /* the operation of the init data is not valid */
#define ZMR_E_TRACEID_MISMATCH             39008 /* the received trace id differs from the traceId item */
#define ZMR_E_NOTRACEID                    39009 /* the request has no trace id */
#define ZMR_E_NODOCUMENTS                  39010 /* no documents to process */
#define ZMR_E_NOCLIENTINFO                 39011 /* the request has no clientInfo */
#define ZMR_E_UNKNOWN_CARRIER              39012 /* the client's carrier is none the library knows */
/* 40xxx transaction verification, MAC check */
#define ZMR_E_NOPKCS7                      40002 /* the transaction data has no pkcs7 */
#define ZMR_E_NOOCSP                       40003 /* the transaction data has no ocsp */
#define ZMR_E_NOERRCODE                    40004 /* the error report has no errCode */
#define ZMR_E_BADVERIFYOPERATION           40005 /* the operation of the verification data is not valid */
#define ZMR_E_NOSIGNEDDATA                 40006 /* a document's signed data is missing */
#define ZMR_E_NOPKCS7S                     40007 /* the transaction data has no pkcs7s */
#define ZMR_E_REPORTPAIR                   40008 /* a report pair cannot be stored */
#define ZMR_E_SIGNATURECOUNT               40009 /* the numbers of signatures and documents differ */
#define ZMR_E_TAG_SIZE                     40050 /* the received tag has the wrong length */
#define ZMR_E_TAG_MISMATCH                 40051 /* the received tag differs */
/* 41xxx string map, 42xxx transaction information */
#define ZMR_E_MAP_NOELEMENT                41000 /* no map, or no element with that key */
#define ZMR_E_MAP_MANDATORY                41001 /* a mandatory form item is absent and has no default */
#define ZMR_E_MAP_PARSE                    41002 /* a form cannot be built or parsed */
#define ZMR_E_TXINFO_REPLY                 42000 /* the services host's answer cannot be read or reports an error */
#define ZMR_E_TXINFO_VALIDATION            42001 /* the services host's answer does not validate */
#define ZMR_E_TXINFO_ENVIRONMENT           42002 /* no services-host key for the environment */
/* 43xxx client session set-up, 44xxx base-key wrapping */
#define ZMR_E_INITSESSION_ENVIRONMENT      43000 /* no set-up key or address for the environment */
#define ZMR_E_INITSESSION_REPLY            43002 /* the set-up answer is not 200 or malformed */
#define ZMR_E_INITSESSION_ERRORCODE        43003 /* the set-up answer carries an errorCode */
#define ZMR_E_INITSESSION_NONONCE          43004 /* the set-up answer has no nonce */
#define ZMR_E_INITSESSION_NONCE            43005 /* the set-up answer's nonce differs */
#define ZMR_E_INITSESSION_NOCDMURI         43006 /* the set-up answer has no cdmUri */
#define ZMR_E_INITSESSION_NOTID            43007 /* the set-up answer has no tid */
#define ZMR_E_INITSESSION_NOCLIENTID       43008 /* the set-up answer has no clientId */
#define ZMR_E_BASEKEY_WRAP                 44001 /* the base key cannot be drawn or wrapped */

/* ---------------------------------------------------------------------------
 * Library life
 */

/* Starts the library: OpenSSL, the named locks and the HTTP client. Call
 * once per process before anything else; a second call returns 0 and
 * changes nothing. 33001 (with a recent-error line) when OpenSSL, its
 * random generator or the library's object identifiers cannot be set up,
 * 35015 when the HTTP client cannot. A failure leaves the library as it was
 * before, and a later call tries again (OpenSSL's own start-up, once it has
 * failed, stays failed for the process). */
ZMR_EXPORT int zmr_initialize(void);

/* As zmr_initialize, and loads and initialises the PKCS#11 driver at
 * driverpath, so that sessions can sign and decrypt in an HSM. 25001 when
 * the driver cannot be loaded, 25003 when it cannot be initialised (also
 * when the host initialised it already: the library never finalises a
 * module it did not initialise). After a zmr_initialize the driver is
 * loaded now, and its failure leaves the library running without one; 0
 * only with a driver loaded (a driver loaded already stays). */
ZMR_EXPORT int zmr_hsminitialize(const char *driverpath);

/* Closes every open session and stops the library. Every step runs even
 * when one fails; the first failing code is returned. 0 without start-up.
 * Never tears down OpenSSL itself: the host may use it too, and a later
 * zmr_initialize works again. */
ZMR_EXPORT int zmr_finalize(void);

/* ---------------------------------------------------------------------------
 * Merchant sessions
 *
 * Merchant key file: a PKCS#12 file whose password is the merchant password
 * hardened: x = the password's bytes; 1000 times x = SHA-1(MD5(x || salt) ||
 * salt), salt being the 20 bytes of SHA-1("libzmr merchant key file
 * hardening salt") = 341fd7f9cc80f160403d05b5111d7b8b5cbcff3c (hex); the
 * PKCS#12 password is base64(x) followed by CR LF.
 *
 * Properties file: lines of key=value (at most 50; key and value at most
 * 1023 bytes each). Keys read: webaddress, truststore, grantedpolicies,
 * httpproxyserver, httpproxyport, httpproxycredentials (each proxy key also
 * with a prefix va, sdm, services or ravud), vaport, vatimeout,
 * vassldisabled, initsessiondns, servicehostdns, mgmfedns, mgmfeutildns.
 *
 * The truststore is a directory of PEM certificates named after their
 * subject hash (<hash>.0, <hash>.1, ... as "openssl rehash" writes them).
 * The opening reads them; a certificate asked for that is not among them
 * is looked for in the directory then, so a file added later is found.
 */

/* Opens a merchant session from a key file and its password, and either a
 * properties file or the values webaddress, truststore, grantedpolicies
 * (required without a properties file) and the optional proxy server and
 * port. The sixth argument is ignored. On success *session holds the new
 * number (0..999). Codes: 2001 properties file cannot be opened or read
 * (a directory, say), 2002-2008 and 2024-2028 configuration, 2007-2048
 * key file (2046 wrong password), 28001-28004 invalid mandatory values,
 * 2049 when the library is not started; the recent error names the reason.
 * On failure no session stays open. */
ZMR_EXPORT int zmr_opensession(int *session, const char *keyfile, const char *password,
                               const char *propertiesfile, const char *webaddress, const char *ignored,
                               const char *truststore, const char *grantedpolicies,
                               const char *httpproxyserver, const char *httpproxyport);

/* As zmr_opensession (all configuration arguments optional), with the
 * merchant's keys in the HSM: pkcs11password logs in on slot (-1: the slot
 * holding the signing key's label). 25xxx for PKCS#11 failures. */
ZMR_EXPORT int zmr_hsmopensession(int *session, const char *keyfile, const char *password,
                                  const char *propertiesfile, const char *webaddress, const char *ignored,
                                  const char *truststore, const char *grantedpolicies,
                                  const char *httpproxyserver, const char *httpproxyport,
                                  const char *pkcs11password, int slot);

/* Opens an HSM session from a key file alone, without configuration: it can
 * sign and decrypt but not reach the central servers. */
ZMR_EXPORT int zmr_rahsmopensession(int *session, const char *keyfile, const char *password,
                                    const char *pkcs11password, int slot);

/* Closes a session: its number is free at once, and what the session holds
 * is released when the last call using it returns (that call also ends its
 * HSM login). With no call in flight the HSM logout happens here: when it
 * fails its code is returned and the session stays open. */
ZMR_EXPORT int zmr_closesession(int session);

/* Description of an open session. */
typedef struct sessionstoreinfo {
  int sessionid;
  char *commonname;        /* last common name of the authentication certificate */
  int environment;         /* 1 development, 2 test lab, 3 pre-production, 4 production, 0 none */
  char *grantedpolicies;   /* the grantedpolicies property */
  char *signcertificate;   /* base64 DER of the signing certificate */
  char *authcertificate;   /* base64 DER of the authentication certificate */
  struct sessionstoreinfo *next; /* always NULL */
} sessionstoreinfo;

/* Describes a session in *info; free it with zmr_freesessionstoreinfo.
 * 2043 / 2041 without an authentication / signing certificate (a sign-only
 * key file), 2004 for a session without configuration. */
ZMR_EXPORT int zmr_getsessionstoreinfo(int session, sessionstoreinfo **info);

/* Releases a description, in every case (2009 is still reported when the
 * session has been closed since). */
ZMR_EXPORT int zmr_freesessionstoreinfo(int session, sessionstoreinfo *info);

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
 * thread handles its next transaction. Item values are wiped when removed,
 * and when the thread ends. */
ZMR_EXPORT int zmr_removeinfoitems(int session);

/* Add a document to the calling thread's document list for signing: a
 * text in base64 (of its Latin-1 bytes), an XML text with its XSL, or a PDF
 * in base64. description is Latin-1 text. The library keeps copies. */
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
 * or padding); 21xxx for bad base64; 33002 for a key shorter than 16 bytes.
 * The ciphertext carries no authentication, and decryption tells a bad
 * padding (23003) from a good one: whoever can submit ciphertexts and see
 * the code can decrypt them without the key. Never pass symmetricdecrypt
 * ciphertext that an untrusted party can choose or alter. */
ZMR_EXPORT int symmetricencrypt(int session, const char *key, const char *plain, char **cipher);
ZMR_EXPORT int symmetricdecrypt(int session, const char *key, const char *cipher, char **plain);

/* ---------------------------------------------------------------------------
 * Signing with the merchant's keys
 *
 * The key is the session's signing key, from the key file or, in a session
 * opened with zmr_hsmopensession / zmr_rahsmopensession, in the HSM (the
 * same bytes either way). Digest: SHA-1 when the merchant's authentication
 * key has exactly 1024 bits, SHA-256 otherwise. Results are one line of
 * base64 and freed with zmr_free. 2009 for a session that is not open;
 * 2039 / 2041 when the key file has no signing key / certificate, 2044 when
 * it has no CA certificates; 25xxx codes and 4009 for HSM failures.
 */

/* Detached PKCS#7 SignedData over length bytes (0 allowed) in *pkcs7: one
 * SignerInfo (RSA PKCS#1 v1.5) with the signed attributes contentType,
 * the "ZMR Channel" attribute, signingTime, messageDigest and the SHA-256
 * hash of the signing certificate; the certificates are the signing
 * certificate and the key file's CA certificates without the self-signed
 * root. With the info item cmsFormat = "PKCS7_ISO320001" the hash goes
 * under id-aa-signingCertificateV2 and signingTime is left out. Codes
 * 4002-4014 (4011 also when the encoding would carry other signed
 * attributes than those signed); 0 only with a signature that verifies. */
ZMR_EXPORT int zmr_signdata(int session, const unsigned char *data, uint64_t length, char **pkcs7);

/* Bare RSA PKCS#1 v1.5 signature (DigestInfo inside) over length bytes, as
 * long as the key's modulus, in *signature. Codes 29004-29009. */
ZMR_EXPORT int zmr_signdatap1(int session, const unsigned char *data, uint64_t length, char **signature);

/* Wraps the XML and its XSL (each up to its length or its first NUL byte,
 * not escaped) as "<ZelmorXML><ZMRXML>" xml "</ZMRXML><ZMRXSL>" xsl
 * "</ZMRXSL></ZelmorXML>" and signs that text as zmr_signdata does. *pkcs7
 * receives the signature, *envelope the base64 of the envelope text. Free
 * whatever is not NULL, whatever the code. */
ZMR_EXPORT int zmr_signxml(int session, const char *xml, uint64_t xmllength, const char *xsl, uint64_t xsllength,
                           char **pkcs7, char **envelope);

/* An enveloping XML-DSig document (one line, UTF-8) in *xml: the order text
 * inside <Object Id="envelopingData">, referenced from SignedInfo with
 * exclusive canonicalisation and RSA-SHA1/SHA-1 or RSA-SHA256/SHA-256, the
 * signing certificate in KeyInfo. *days receives the whole days until the
 * signing certificate expires. The texts are digested and signed exactly as
 * written, without a canonicalisation step: for standard verifiers to
 * accept the document, the order must already be canonical XML (no XML
 * declaration, no comments, attributes in canonical order, start and end
 * tags for empty elements, canonical character escapes). 30001 when the
 * signing certificate's first policy is not 2.999.10.1.16.1.14.1. When only
 * the days cannot be computed (6019) the document is still handed over:
 * free *xml when it is not NULL, whatever the code. */
ZMR_EXPORT int zmr_createxmldsig(int session, const char *order, char **xml, int *days);

/* ---------------------------------------------------------------------------
 * Transaction data from the end user's client
 *
 * A client message carries encKey (a 32-byte base key wrapped with RSA
 * PKCS#1 v1.5 under the merchant's authentication key), encData
 * (AES-256-CBC) and encAuth (HMAC-SHA1 over the texts operation, encData,
 * encKey and extra, as received), each in base64. The tag is checked
 * before anything is decrypted.
 */

/* Decrypts a client message with the session's authentication key (in the
 * HSM for sessions opened with one). extra may be NULL (no extra text).
 * On success *data receives the plain text and *basekey the base key in
 * base64 (the key of the answers to this client); free both with zmr_free.
 * On failure both stay NULL. Codes: 21002 bad base64; 40050 a tag that is
 * not 20 bytes; 40051 a wrong tag, and equally any encKey that does not
 * unwrap to a 32-byte key (the two are not told apart); 23001-23003 the
 * decryption; 22005 an authentication key that cannot unwrap at all, 2040
 * none in the key file; 22006, 2045 and 25xxx in the HSM (25037 when the
 * module fails to decrypt: an HSM fault, never a judgement of the message,
 * as the padding is checked outside the module). */
ZMR_EXPORT int zmr_decrypttransactiondata(int session, const char *enckey, const char *encdata, const char *encauth,
                                          const char *operation, const char *extra, char **data, char **basekey);

/* The client's transaction, initialised: decrypts the client's init request
 * (as zmr_decrypttransactiondata; extra may be NULL) and answers it, the
 * answer "encData=...&encAuth=..." in *response (free with zmr_free)
 * encrypted under the base key of this request. The decrypted form routes:
 *   carrier "NC_ZMR20" (clientInfo required: 39011): operation "initSign"
 *     signs the document the info items describe (clientInfo other than
 *     "2.1": mimeType text/plain or application/pdf with data in base64, or
 *     text/ZMRXML with xml and xsl; dataDescription in Latin-1; extPDFUrl
 *     for a PDF) or, with clientInfo "2.1", every document of the thread's
 *     document list, whose hashes and signatures go to the environment's
 *     COI key as coiData (43000 without one); any other operation
 *     authenticates (clientChallenge field); both check the traceId field
 *     against the info item traceId (39009 none, 39008 different);
 *   carrier "mobile": "initAuth" answers the clientChallenge with a
 *     challenge made from the authHeader field, "initSign" signs the text
 *     of the data item converted for a phone (prepareText field "true":
 *     framed; the mimeType item is required and sent as it stands, of any
 *     value);
 *   no carrier: the clientIp field kept as an info item; "initAuth"
 *     answers as NC_ZMR20 does, without traceId; "initSign" signs the
 *     document the info items describe as NC_ZMR20 does for clientInfo
 *     other than "2.1", but sends dataDescription as it stands (no
 *     conversion), adds the info item signers when set and needs no
 *     extPDFUrl;
 *   any other carrier: 39012, no answer.
 * Info items copied to the answer when set, by carrier:
 *   NC_ZMR20: userID, OTPService, timeout, nextURL, userIDKeystrokeData;
 *     when signing also cmsFormat (PKCS7, PKCS7_ISO320001) and ocspFormat
 *     (OCSP_ZELMOR_DEFAULT, OCSP_RFC6960_COMPATIBLE; another value gives
 *     33002), sent as CMSFormat and OCSPFormat, and for a PDF (clientInfo
 *     other than "2.1") extPDFUrl, which is then required;
 *   no carrier: userID, OTPService, timeout, nextURL (no
 *     userIDKeystrokeData and no format items, so never 33002);
 *   mobile: none.
 * Info items are pushed for the verification that follows (key, carrier,
 * serverChallenge, signeddata, pkcs7, c_sc, c_scsha256, and clientIp):
 * call zmr_removeinfoitems before the thread handles its next transaction.
 * Codes: those of zmr_decrypttransactiondata; 39003 no clientChallenge,
 * 39005 a mime type not allowed (also a 2.1 document without one, such as
 * a record holding only signed data), 39006 an operation other than initAuth or
 * initSign, 39010 no document, 41001 no extPDFUrl, 2022 an info item
 * missing, 16002 the merchant's name not in authHeader; signing codes. */
ZMR_EXPORT int zmr_inittransaction(int session, const char *enckey, const char *encdata, const char *encauth,
                                   const char *operation, const char *extra, char **response);

/* The client's verification request, checked: decrypts it (as
 * zmr_decrypttransactiondata; operation is the operation text the client
 * sent, covered by the tag), pushes the info items key and carrier, and
 * dispatches on operation (exact case):
 *   "handleError": errCode field (40004 without) pushed as errorCode;
 *   "verifyAuth": the pkcs7 field (40002 without) must verify over the
 *     serverChallenge item as an authentication signature (key usage
 *     digitalSignature, a granted policy, the whole chain);
 *   "verifySign": the pkcs7 field over the signeddata item (key usage
 *     nonRepudiation) and ocsp (40003 without); for carrier "NC_ZMR20"
 *     with clientInfo "2.1" (none: 39011) the clientpkcs7s field (40007
 *     without) holds one signature per document of the thread's document
 *     list, in order, joined by ","; 40009 unless there are as many
 *     signatures as documents and each verifies; 40006 a document without
 *     signed data; the cpReport field is decoded once more (1 when absent
 *     or badly escaped);
 *   anything else: 40005.
 * Carrier "NC_ZMR20" (handleError aside): the traceId field must equal the
 * traceId item (39009 none, 39008 different). The user's certificate
 * status is asked of the validation authority (as zmr_getcertstatus;
 * 13012 revoked, 13014 unknown) and its answer pushed: vaperf, socialno,
 * accountno, organisationno (or their *err texts), clientPkcs7,
 * clientOcsp, clientFullOcsp (ocspFormat "OCSP_RFC6960_COMPATIBLE"); for
 * several documents each document's signature, OCSP and full OCSP answer
 * (zmr_getsignatureandocsp, zmr_getsignatureandfullocsp). Other items
 * pushed: operation, serverOcsp, cpReport, and the rtReport field with,
 * before it, each of its key=value pairs as an item of its own.
 *
 * The items serverOcsp, cpReport, rtReport and the report's pairs are the
 * client's texts, not checked by the library. A report pair whose key or
 * value does not decode, or whose key names one of these items (in any
 * case), fails the call with 40008 and the report is not stored; a report
 * that does not fit in the store is refused the same way, and when its own
 * rtReport (or cpReport) item cannot be stored its pairs are removed too,
 * so that errorCode can still be set:
 *   key carrier clientIp serverChallenge signeddata pkcs7 c_sc c_scsha256
 *   errorCode operation serverOcsp clientPkcs7 clientFullOcsp clientOcsp
 *   rtReport cpReport vaperf socialno accountno organisationno socialnoerr
 *   accountnoerr organisationnoerr sdo target nextURL traceId ocspFormat
 *   addsocialno addaccountno addorganisationno BillingPrefix cmsFormat
 * 41002 a report that does not parse.
 *
 * Items are pushed, never replaced, and a lookup finds the first: call
 * zmr_removeinfoitems (items and documents) after every transaction,
 * failed ones included, before the thread handles the next. Results are
 * only valid when this returns 0. Codes: those of
 * zmr_decrypttransactiondata, of zmr_verifydata (5xxx, 6xxx, 12xxx), of
 * zmr_getcertstatus (13xxx), 2022 an info item missing, 33001. */
ZMR_EXPORT int zmr_verifytransactionrequest(int session, const char *enckey, const char *encdata,
                                            const char *encauth, const char *operation, const char *extra);

/* The answer to the client's verification request, "encData=...&encAuth=..."
 * in *response (free with zmr_free), encrypted under the base key of the
 * thread's info item key. Its pairs, in order: status=OK, or errCode=<the
 * errorCode item> when that item exists (so set errorCode after a failed
 * verification); sdo, target and nextURL when set (neither target nor
 * nextURL for carrier "mobile"; nextURL mandatory, 39001, unless the
 * carrier is "NC_ZMR20"); vaPerf from the item vaperf. Codes: 2022 no key
 * item, 39001, the encryption's codes. */
ZMR_EXPORT int zmr_verifytransactionresponse(int session, char **response);

/* The merchant's answer to a client challenge (base64): *signature receives
 * a detached PKCS#7 of the decoded challenge by the authentication key,
 * with the "ZMR Channel" attribute; *serverchallenge the base64 challenge
 * the client must sign in turn: 20 random bytes and the webaddress
 * property, or, when authheader (base64 of a Latin-1 text holding the
 * signing certificate's common name, read up to its first zero byte) is
 * given and not empty, that text converted to the GSM 03.38 alphabet (a
 * last "(" dropped), framed by 0x06, six random letters or digits and 0x04
 * when prepareflag is "true" in any case (NULL: "false"). Free both with
 * zmr_free; after a failure free whichever is not NULL (the signature is
 * handed out when a later step fails). Codes: 21002 not base64, 2004 no
 * webaddress, 16001 no random bytes, 16002 the name not in the header,
 * 38001, signing codes. */
ZMR_EXPORT int zmr_authenticateserver(int session, char **signature, char **serverchallenge,
                                      const char *clientchallenge, const char *authheader,
                                      const char *prepareflag);

/* 0 when the client's PKCS#7 verifies over the decoded server challenge
 * (base64) as an authentication signature (key usage digitalSignature),
 * with the codes of zmr_verifydata otherwise. */
ZMR_EXPORT int zmr_authenticateclient(int session, const char *clientpkcs7, const char *serverchallenge);

/* Binds a PKCS#7 carrying the "ZMR Channel" attribute (12009-12014 without)
 * to the calling thread's channel items, the info items whose key holds
 * "c_" in any case: the channel text is "h=" and the base64 SHA-256 of the
 * PKCS#7's DER (SHA-1 for a signer key of at most 1024 bits), then
 * "&key=value" per item in the order they were set (key lower-cased, value
 * as set, nothing encoded); 2022 without any item. *channel receives the
 * base64 of the text, *signature a PKCS#7 over it by the authentication key
 * when the PKCS#7's signer certificate is for authentication only, else by
 * the signing key. Free both with zmr_free; after a failure free whichever
 * is not NULL. */
ZMR_EXPORT int zmr_createsecurechannel(int session, const char *pkcs7, char **signature, char **channel);

/* ---------------------------------------------------------------------------
 * Client session set-up with the Rirorer Idor Azoriva
 */

/* Asks the Rirorer Idor Azoriva of the session's environment for a client
 * session and hands back its references cdmUri, tid and cid (free each with
 * zmr_free). The request is built from the calling thread's info items:
 * mandatory action, merchantUrl, merchantFEDomain and useragent; optional
 * localeId, nextUrl, sid, timeout (40000), certType (the grantedpolicies
 * property), withCredentials and suppressBroadcast ("N"),
 * clientSessionTimeout (1800000), clientVersion ("2.0"),
 * merchantFEAncestors (with clientVersion 2.1); with action sign or netpay
 * also docDisplayMode (mandatory), showUnderstanding, showConfirmation
 * ("N") and extPDFDomain (mandatory with clientVersion 2.0) or
 * clientProxyURL and clientProxyPublicKey. It is signed with the
 * authentication key, encrypted to the environment's built-in key and
 * posted to the property initsessiondns (environments 1 and 2, a whole
 * URL) or the built-in address, through the sdm proxy properties, within
 * 15 seconds. Only the encrypted, authenticated reply counts.
 * Codes: 43000 no key or address for the environment; 43002 not HTTP 200
 * or no header end; 43003 the server sent an errorCode (also stored as the
 * info item "errorcode"; when it cannot be stored, the store's code, 2023
 * for a full store); 43004 / 43005 nonce missing / different;
 * 43006-43008 cdmUri, tid, cid missing: the references read before are
 * handed out, free whatever is not NULL; 41001 (2022 for action and
 * useragent) a mandatory info item missing; 35xxx network (35014 time-out); 40050 / 40051 a reply that
 * fails its tag. */
ZMR_EXPORT int zmr_initsession(int session, char **cdmuri, char **tid, char **cid);

/* ---------------------------------------------------------------------------
 * Certificate status at the validation authority
 *
 * The library asks the OCSP responder named in the OCSP entry of the
 * certificate's authority-information-access extension. The request holds
 * one SHA-1 CertID and the extensions AcceptableResponses (basic), a
 * 16-byte nonce, the additional data wished for (when any of the info items
 * addsocialno, addaccountno, addorganisationno exists; "true" asks for that
 * item), a billing text and, with the info item ocspFormat =
 * "OCSP_RFC6960_COMPATIBLE" for a signing certificate, the RFC 6960 flag.
 * It is signed with the merchant's signing key (SHA-1 with RSA for a
 * 1024-bit merchant key, else SHA-256), in the HSM for HSM sessions.
 *
 * Billing text: the info item BillingPrefix, ";" and 20 random bytes in
 * base64; without BillingPrefix "A;;" (authentication) or "S;;" (signing)
 * and the random part; then ";" and the info item traceId when it exists.
 * For certificates of policy 2.999.10.1.16.1.12.2.1 the info item
 * operation (mandatory, else 2022) says which: "verifySign" is signing.
 *
 * Address: the URL's host and path; the port from the property vaport,
 * else the URL's, else 443 (https) or 80 (http). TLS with the session's
 * trust store unless the property vassldisabled is set to anything other
 * than "false"; the URL's scheme never switches TLS off. Time limit: the
 * property vatimeout in seconds (30 when absent; a negative value runs
 * under the HTTP client's 60 s), through the va proxy properties; up to
 * three attempts, none after a time-out.
 *
 * The answer must be an HTTP 200 with a Content-Length header and a basic
 * OCSP response about exactly this certificate, carrying the request's
 * nonce or none, current (thisUpdate not in the future, nextUpdate not
 * passed, or at most an hour old without one, five minutes' leeway),
 * signed by the responder certificate its responder ID names, which has
 * the key usages digitalSignature and nonRepudiation, the policy
 * 2.999.10.1.16.1.5.1 and a chain to the session's trust store (in RFC 6960
 * mode the answer's own certificates may serve as intermediates).
 *
 * Results: the info item vaperf (milliseconds of the exchange); from a good
 * answer the additional data socialno, accountno, organisationno or the
 * status texts socialnoerr, accountnoerr, organisationnoerr (each
 * "Extension not present" when the answer has no extensions at all).
 *
 * *ocsp receives the base64 DER BasicOCSPResponse as soon as it is read,
 * before it is checked, and keeps it when a later step fails (a revoked
 * certificate comes back with 13012 and its answer): free *ocsp (and
 * *nonce) whenever it is not NULL, whatever the code.
 *
 * Codes: 0 only for a verified answer "good"; 13012 revoked, 13014
 * unknown. The certificate: 21002 bad base64, 5001 not a PKCS#7, 12001 no
 * signer or issuer certificate in it, 6001 its first policy not granted by
 * grantedpolicies, 6008 / 6012 no policy / key usage, 6009 no OCSP URL,
 * 13002 a URL that is not http(s)://host..., 13026 no valid port, 13029
 * vatimeout reads as 0. The exchange: 35xxx (35014 time-out), 13003 not
 * HTTP 200, 13004-13006 / 13024 a broken header block or Content-Length,
 * 13008 a body that is not a DER OCSPResponse (or of a status the
 * standard does not define), 13018-13022 the responder's error statuses
 * (malformedRequest, internalError, tryLater, sigRequired, unauthorized),
 * 13007 not a basic response. The check: 13009 another nonce, 13010 no
 * answer about this certificate, 13011 no responder certificate, 6002 /
 * 6001 its key usage / policy, 13023 its signature, 13031 its chain,
 * 13033 (ZMR_E_OCSP_NOT_CURRENT) not current. Signing: 4009 in the HSM.
 * 2023 the info items of the thread are full.
 */

/* Status of the certificate of the first signer of a base64 DER PKCS#7
 * (which must also carry that certificate's issuer certificate). */
ZMR_EXPORT int zmr_getcertstatus(int session, const char *pkcs7, char **ocsp);

/* As zmr_getcertstatus; *nonce (nonce may be NULL) receives a copy of the
 * billing text sent in the request. */
ZMR_EXPORT int zmr_getcertstatuswithnonce(int session, const char *pkcs7, char **ocsp, char **nonce);

/* Status of the merchant's own signing certificate (asked through a PKCS#7
 * the library signs over "dummy"). A NULL ocsp gives 33003. */
ZMR_EXPORT int zmr_getowncertstatus(int session, char **ocsp);

/* ---------------------------------------------------------------------------
 * Transaction information from the services host
 */

/* Asks the services host of the session's environment about the
 * transaction named by key, for the object identifiers listed in oids.
 * The request is signed with the authentication key, encrypted to the
 * host's built-in key and posted to the property servicehostdns
 * (environments 1 and 2, a whole URL) or the built-in address, through the
 * services proxy properties, within 60 seconds. Every field of the answer
 * whose name holds key becomes an info item of the calling thread, named
 * by what follows key in the field name (read them with zmr_getinfoitem).
 * unused is not read. Codes: 42002 no key or address of the services host
 * for the environment (nothing is sent); 42000 a reply without header end,
 * the host's clear ErrorCode (its ErrorMsg and code are in the recent
 * error), or an answer whose payload cannot be read (nothing is stored);
 * 41000 encData or encAuth missing; 40050 / 40051 a reply that fails its
 * tag; 42001 an answer that does not echo the request's nonce; 35xxx
 * network (35014 time-out); 2043 no authentication certificate; 2023 the
 * thread's info items are full (the items stored before stay). */
ZMR_EXPORT int zmr_gettransactioninfo(int session, const char *key, const char *oids, const char *unused);

/* ---------------------------------------------------------------------------
 * The mobile channel
 *
 * These post forms to the mobile gateway of the session's environment: the
 * property mgmfedns (environments 1 and 2, a whole URL) or the built-in
 * address, through the ravud proxy properties. They do not clear the
 * recent error on entry. A gateway statusCode other than 0 gives 36007 and
 * leaves the gateway's code in the info item "mobileerr". Other gateway
 * codes: 36001 no gateway for the environment; 36004 no or bad HTTP reply;
 * 36005 an empty body; 36006 no statusCode; 35xxx network (35014
 * time-out).
 */

/* Starts a mobile transaction and hands back the gateway's
 * transactionReference in *reference (free with zmr_free). The request is
 * made from the calling thread's info items: mandatory action, url,
 * phonenumber, phonealias and merchantreference (2022 when one is
 * missing); optional timeout (milliseconds, "40000"; a number from 1 to
 * 2147483647 also limits the exchange, anything else leaves it at 40 s),
 * locale ("en_GB"), countryCode ("44"), checkAlias and
 * synchronousCommunication ("true") and sid; with the session's
 * grantedpolicies and webaddress (2004 when missing, 21001 when empty) and
 * a proof of possession signed by the authentication key (2043 without
 * one). 37001 when the reply has no transactionReference. */
ZMR_EXPORT int zmr_requestmobileaction(int session, char **reference);

/* The gateway's transactionStatus of the transaction in *status (free with
 * zmr_free). 37002 when the reply has none. The exchange has 60 s. */
ZMR_EXPORT int zmr_requestmobilestatus(int session, const char *reference, char **status);

/* Has the gateway send text as an SMS to the transaction's phone. The
 * exchange has 60 s. */
ZMR_EXPORT int zmr_pushsms(int session, const char *reference, const char *text);

/* A merchant reference for locale in *reference (free with zmr_free): two
 * words, one drawn at random from each of the locale's two word lists,
 * joined by a blank. The lists come from the gateway's utility endpoint
 * (property mgmfeutildns in environments 1 and 2) and are kept for a day,
 * for at most 20 locales per process; a failed refresh keeps the old lists
 * and is retried after 5 minutes. reference is checked (33003) before
 * locale. Codes: 38002 no lists for the locale (the first fetch failed or
 * its lists were refused, or 20 other locales are cached); 38001 no random
 * bytes. Two checks are stricter than they might be: a session that is
 * not open gives 2009 even when the locale's lists are cached, and a list
 * is refused when any of its words repeats, however far into the list. */
ZMR_EXPORT int zmr_generatemerchantreference(int session, const char *locale, char **reference);

/* ---------------------------------------------------------------------------
 * Signed data objects
 */

/* A list of signatures in signature order: each node holds a signer's
 * base64 DER PKCS#7 signature and the base64 DER BasicOCSPResponse about
 * the signer's certificate. A list the library hands out is released with
 * zmr_signaturesfree; a list the application builds stays its own. */
typedef struct signatures {
  char *pkcs7;
  char *ocsp;
  struct signatures *next; /* NULL at the end */
} signatures;

/* A signed data object (SDO): the signatures made over one document, each
 * a signature element (profile, policy, mime type, the document's digest,
 * the signer's PKCS#7 and the OCSP answer about the signer's certificate),
 * an optional seal (the merchant's signature over the data part), the
 * merchant's description and optionally the document itself. Opaque: the
 * application holds a handle, seidsdo **, made by zmr_createsdo,
 * zmr_createdynamicsdo or zmr_xmltosdoex and released with zmr_sdofree
 * (and by nothing else). Functions that make one take the address of the
 * application's handle variable, seidsdo ***, and store NULL there first.
 * One handle must not be used by two threads at once.
 *
 * Texts: data is the signed document in base64; a description is Latin-1;
 * signatures are base64 DER PKCS#7 and OCSP answers base64 DER
 * BasicOCSPResponse (line breaks are removed). SDO XML is SEID SDO XML in
 * UTF-8. Texts are written so that they read back unchanged (CR, and tab
 * and LF in attribute values, as character references); a description,
 * mime type or kept document holding characters XML 1.0 cannot carry
 * (control characters other than tab, LF and CR, bytes that are not UTF-8,
 * U+FFFE, U+FFFF) is refused with 33002. An SDO read from XML keeps the
 * form its data part was written in, sealed or not; a data part mixing
 * identifier forms gives 34002. Every code of the called steps passes through: 12012 a PKCS#7
 * without signingTime or an OCSP value that is not a BasicOCSPResponse,
 * 18002-18042 an SDO without a mandatory part, 34001-34003 XML that cannot
 * be read, 20001-20045 validation (20037 a document digest that differs,
 * 20043 not sealed where a seal is required, 20044 sealed where it is
 * forbidden), 5xxx and 13xxx a signature or an OCSP answer that does not
 * verify.
 *
 * Validation checks every signature element (the signature over the
 * stored digest, against the trust store without validity dates, key usage
 * nonRepudiation; the signing time within the signer certificate; the
 * OCSP answer about that certificate, good, from a trusted responder at
 * its producedAt; profile, policy, digest method and mime type) and the
 * seal, when there is one, over the data part as this library writes it.
 * For an SDO read from XML that is the data part written anew from what
 * was read, not the bytes as they stood: a seal made over the same data
 * part written otherwise (other quotes or character references, an empty
 * element as a start and an end tag, attributes in another order) does
 * not verify. */
typedef struct seidsdo seidsdo;

/* The classic SDO of a signing transaction: the end user's element and the
 * merchant's, sealed with the merchant's signing key and validated as by
 * zmr_sdovalidate without the document check. The OCSP answers are about
 * the end user's and the merchant's signing certificates. On success *sdo
 * holds the new handle (free with zmr_sdofree); on failure it stays NULL. */
ZMR_EXPORT int zmr_createsdo(int session, seidsdo ***sdo, const char *data, const char *mimetype,
                             const char *description, const char *userpkcs7, const char *merchantpkcs7,
                             const char *userocsp, const char *merchantocsp);

/* An unsealed SDO with one element per node of list (each node needs both
 * texts), in list order; nothing is verified. *sdo as zmr_createsdo. */
ZMR_EXPORT int zmr_createdynamicsdo(int session, seidsdo ***sdo, const char *data, const char *mimetype,
                                    const char *description, const signatures *list);

/* Keeps a copy of the document data in the SDO, replacing any kept before.
 * Nothing is compared. 26001 for a handle that holds no SDO; 33002 for data
 * XML cannot carry. An empty data text is kept but counts as no document. */
ZMR_EXPORT int zmr_sdoadddata(int session, seidsdo **sdo, const char *data);

/* Appends one element per node of list, removes the seal and validates the
 * result as an unsealed SDO (as zmr_dynamicsdovalidate with seal rule 1).
 * The digests are taken of data, or of the document kept in the SDO when
 * data is NULL (31001 when there is neither; an empty text counts as
 * none). The elements stay appended, and the seal removed, whatever the
 * validation finds; a failure before (12012, say) leaves the SDO as it
 * was. */
ZMR_EXPORT int zmr_sdoaddsignature(int session, seidsdo **sdo, const signatures *list, const char *data);

/* Seals the SDO with the merchant's signing key (the seal carries the
 * merchantocsp answer about that key's certificate) and validates it as by
 * zmr_dynamicsdovalidate with seal rule 0 and data (may be NULL). A
 * failure before the new seal is complete leaves the SDO as it was; once
 * it is, the new seal stays whatever the validation finds (20025 for an
 * answer about another certificate). */
ZMR_EXPORT int zmr_sdoseal(int session, seidsdo **sdo, const char *merchantocsp, const char *data);

/* The SDO as SEID SDO XML, one line, in *xml (free with zmr_free). */
ZMR_EXPORT int zmr_sdotoxmlex(int session, seidsdo **sdo, char **xml);

/* Reads SEID SDO XML in the compliant form (34003 for text without
 * "XAdES:OCSPValues": zmr_sdoxmlextractsignatures reads the other forms)
 * into a new handle in *sdo (free with zmr_sdofree). Nothing is verified. */
ZMR_EXPORT int zmr_xmltosdoex(int session, const char *xml, seidsdo ***sdo);

/* Validates a classic SDO: every element, a seal required and verified.
 * With documentcheck non-zero the document kept in the SDO (20039 when
 * none) must have the digests of the first two elements, each by its own
 * digest method (20041). */
ZMR_EXPORT int zmr_sdovalidate(int session, seidsdo **sdo, int documentcheck);

/* Validates a dynamic SDO: every element; each element's digest against
 * data, or the kept document when data is NULL or empty (20045 when there is
 * neither; 20037 when both are there and differ); exactly signaturecount
 * elements when it is above 0 (20042); sealrule 0 a seal required and
 * verified, 1 a seal forbidden, any other value a seal verified when
 * there is one. */
ZMR_EXPORT int zmr_dynamicsdovalidate(int session, seidsdo **sdo, const char *data, int signaturecount,
                                      int sealrule);

/* zmr_sdovalidate for SEID SDO XML of any form. */
ZMR_EXPORT int zmr_sdoxmlvalidate(int session, const char *xml, int documentcheck);

/* Validates SEID SDO XML of any form: every element, at least minimum of
 * them, a seal required and verified. */
ZMR_EXPORT int zmr_simpledynamicsdoxmlvalidate(int session, const char *xml, int minimum);

/* zmr_getsigners' text for the elements of compliant SEID SDO XML (the
 * seal's signer is not listed) in *signers (free with zmr_free). */
ZMR_EXPORT int zmr_dynamicsdoxmlgetsigners(int session, const char *xml, char **signers);

/* The same for an SDO handle. */
ZMR_EXPORT int zmr_dynamicsdogetsigners(int session, seidsdo **sdo, char **signers);

/* Takes SEID SDO XML of any form apart: the kept document in *document,
 * the first element's mime type in *mimetype, the "MerchantDesc"
 * description as Latin-1 in *description, and each element's signature
 * and OCSP answer in *list, in order (the seal's not included). Each is
 * set to NULL first; *document and *description stay NULL when the SDO
 * has none. Texts are freed with zmr_free, the list with
 * zmr_signaturesfree. On failure nothing is handed out. */
ZMR_EXPORT int zmr_sdoxmlextractsignatures(int session, const char *xml, char **document, char **mimetype,
                                           char **description, signatures **list);

/* Releases an SDO handle and its whole tree. Also after the session has
 * closed, which still gives 2009. */
ZMR_EXPORT int zmr_sdofree(int session, seidsdo **sdo);

/* Releases a list handed out by zmr_sdoxmlextractsignatures, every node
 * and both its texts. Also after the session has closed (2009). */
ZMR_EXPORT int zmr_signaturesfree(int session, signatures *list);

/* ---------------------------------------------------------------------------
 * Verifying signatures of end users, signer information, and decryption
 * with the central verifier key
 *
 * A signature is a base64 DER PKCS#7 SignedData (detached or carrying its
 * content). Verification checks every signer: its certificate (found among
 * the PKCS#7's certificates by issuer and serial) must chain to the
 * session's trust store, with the PKCS#7's certificates as intermediates
 * and validity dates checked, must carry a certificate policy listed in
 * the session's grantedpolicies ("ALL" grants every one) and the key usage
 * asked for; then the signature itself must verify. Codes: 21002 not
 * base64, 5001 not a PKCS#7, 5002 not signedData, 5004 no signer, 5005 a
 * signer's certificate missing, 6001 policy not granted, 5007 the chain
 * does not verify (the recent error gives OpenSSL's reason, e.g.
 * "certificate has expired") or the signature is bad, 6002 key usage
 * missing, 12002-12019 signed attributes that do not match (12003 the data
 * differs), 2004 a session opened without configuration (no trust store).
 */

/* Verifies the PKCS#7 over length bytes of data as a signing signature
 * (key usage nonRepudiation). 0 when it verifies. */
ZMR_EXPORT int zmr_verifydata(int session, const char *pkcs7, const unsigned char *data, uint64_t length);

/* Verifies the PKCS#7 over data whose digest (with the signer's digest
 * algorithm) is the base64 hash: an authentication signature (key usage
 * digitalSignature) when selector is non-zero, a signing signature
 * (nonRepudiation) when it is 0. 12005 for a digest over 64 bytes. */
ZMR_EXPORT int zmr_hashverifydata(int session, const char *pkcs7, const char *hash, int selector);

/* Items of zmr_getpkcs7info. Any other non-negative value: 7002. */
#define ZMR_P7_ISSUERNAME 0            /* issuer name, RFC 2253, most specific first */
#define ZMR_P7_SUBJECTNAME 1           /* subject name, likewise */
#define ZMR_P7_VALIDFROMDATE 2         /* notBefore, "Feb  3 14:05:09 2027 GMT" */
#define ZMR_P7_VALIDTODATE 3           /* notAfter, likewise */
#define ZMR_P7_VERSIONNUMBER 4         /* "1".."3" */
#define ZMR_P7_SERIALNUMBER 5          /* decimal */
#define ZMR_P7_KEYALGORITHM 6          /* "RSA" or "DSA" */
#define ZMR_P7_KEYSIZE 7               /* bits */
#define ZMR_P7_UNIQUEID 8              /* subject serialNumber, else OU */
#define ZMR_P7_ORIGINATOR 9            /* the scheme's originator extension */
#define ZMR_P7_BANKNAME 10             /* the scheme's bank-name extension */
#define ZMR_P7_DATEOFBIRTH 11          /* display form as the dates */
#define ZMR_P7_POLICYOID 12            /* first policy OID; "" without policies */
#define ZMR_P7_COMMONNAME 13
#define ZMR_P7_SIGNINGCERTIFICATE 14   /* base64 DER of the certificate */
#define ZMR_P7_KEYUSAGE 15             /* "authentication", "signing" or "authentication, signing" */
#define ZMR_P7_EMAILADDRESS 16
#define ZMR_P7_SIGNINGTIME 17          /* signingTime, display form */
#define ZMR_P7_PHONENUMBER 18
#define ZMR_P7_SIGNINGTIMELONGSTRING 19 /* signingTime in milliseconds since 1970 */

/* One item about the first signer of the PKCS#7 (nothing is verified) in
 * *text (free with zmr_free). 8001 not a PKCS#7, 8002 no signer, 8003 the
 * signer's certificate is not in the PKCS#7, 8004 no signing time; 6xxx
 * when the certificate lacks the item (the recent error names it). For
 * ZMR_P7_KEYSIZE and ZMR_P7_KEYALGORITHM, 33001 when the signer's key was
 * lost to an allocation failure in the parse; "0" (keysize) only for a key
 * that cannot be read. */
ZMR_EXPORT int zmr_getpkcs7info(int session, const char *pkcs7, int item, char **text);

/* For each node of the list, "signingtime;policyoid;commonname" of its
 * PKCS#7's first signer (time in milliseconds), the nodes joined by ";",
 * in *text (free with zmr_free). Only the pkcs7 texts are read. Codes as
 * zmr_getpkcs7info; 8004 for a signature without signing time, 33002 for a
 * node without PKCS#7. */
ZMR_EXPORT int zmr_getsigners(int session, const signatures *list, char **text);

/* Decrypts base64 RSA PKCS#1 v1.5 ciphertext with the central verifier key
 * and hands back the plaintext in base64 in *output (free with zmr_free).
 * The first successful call on a session reads the key from keyfile, a DER
 * PKCS#8 EncryptedPrivateKeyInfo (PBES2, or the older PKCS#5 and PKCS#12
 * schemes) decrypted with password, and in an HSM session imports it into
 * the module as a token object labelled "CentralVerifier" (an object of
 * that label with the same modulus is reused); later calls do not read
 * keyfile and password. Codes: 22001 the file cannot be opened, 22002 not
 * a PKCS#8 EncryptedPrivateKeyInfo, 22003 wrong password, 22004 not an RSA
 * key, 22005 the ciphertext does not decrypt with the key, 21002 not
 * base64; 25xxx in the HSM (25037 the module refuses the ciphertext);
 * 33001 also when the key read from keyfile came out incomplete for want
 * of memory: such a key is not kept, and the next call reads keyfile
 * again. */
ZMR_EXPORT int zmr_assymetricdecrypt(int session, const char *keyfile, const char *password, const char *input,
                                     char **output);

#ifdef __cplusplus
}
#endif

#endif /* ZMR_ZMR_H */
