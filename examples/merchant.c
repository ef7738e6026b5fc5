/*
 * A merchant program in plain C: starts the library, opens a merchant
 * session from a key file and a properties file, hashes and base64-encodes
 * data, reads the version text, handles an error through the recent error,
 * closes the session and stops the library.
 *
 * usage: merchant <keyfile> <password> <propertiesfile>
 */
#include <stdio.h>
#include <string.h>
#include <zmr/zmr.h>

static int report(int session, const char *what, int code) {
  char *text = NULL;
  fprintf(stderr, "%s failed with %d\n", what, code);
  if (zmr_getrecenterror(session, &text) == 0 && text != NULL) {
    fprintf(stderr, "%s", text);
    if (zmr_free(text) != 0) fprintf(stderr, "zmr_free failed\n");
  }
  return code;
}

int main(int argc, char **argv) {
  int session = -1, rc;
  char *text = NULL, *digest = NULL;
  const char *document = "Pay 100.00 EUR to Example Merchant";

  if (argc != 4) {
    fprintf(stderr, "usage: %s <keyfile> <password> <propertiesfile>\n", argv[0]);
    return 2;
  }
  if ((rc = zmr_initialize()) != 0) return report(-1, "zmr_initialize", rc);
  rc = zmr_opensession(&session, argv[1], argv[2], argv[3], NULL, NULL, NULL, NULL, NULL, NULL);
  if (rc != 0) {
    report(-1, "zmr_opensession", rc);
    if (zmr_finalize() != 0) fprintf(stderr, "zmr_finalize failed too\n");
    return 1;
  }
  printf("opened merchant session %d\n", session);

  if ((rc = zmr_getversioninfo(&text)) == 0) {
    printf("version: %s\n", text);
    if ((rc = zmr_free(text)) != 0) return report(session, "zmr_free", rc);
  }

  /* The library hashes base64 data: encode the document, then digest it. */
  if ((rc = zmr_base64encode(session, (const unsigned char *)document, strlen(document), &text)) != 0)
    return report(session, "zmr_base64encode", rc);
  printf("document in base64: %s\n", text);
  if ((rc = zmr_hashdata(session, &digest, ZMR_HASH_SHA256, text)) != 0)
    return report(session, "zmr_hashdata", rc);
  printf("SHA-256 of the document: %s\n", digest);
  if ((rc = zmr_free(digest)) != 0 || (rc = zmr_free(text)) != 0) return report(session, "zmr_free", rc);

  /* A deliberate mistake: the text is not base64. */
  rc = zmr_hashdata(session, &digest, ZMR_HASH_SHA1, "not base64!");
  printf("hashing invalid input gives %d, as expected:\n", rc);
  if (zmr_getrecenterror(session, &text) == 0 && text != NULL) {
    printf("%s", text);
    if ((rc = zmr_free(text)) != 0) return report(session, "zmr_free", rc);
  }

  if ((rc = zmr_closesession(session)) != 0) return report(session, "zmr_closesession", rc);
  if ((rc = zmr_finalize()) != 0) return report(-1, "zmr_finalize", rc);
  printf("done\n");
  return 0;
}
