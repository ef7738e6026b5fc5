/*
 * The main road of a merchant, in plain C over zmr.h alone: a merchant
 * session, one authentication and one signing of two documents by an end
 * user with client version 2.1, each transaction opened at the Rirorer Idor
 * Azoriva, initialised, verified (the user's signatures, the certificate
 * status at the validation authority) and answered.
 *
 * The merchant's peers (the central servers and the end user's client) run
 * in the process mainroad_peers, which this program starts and talks with
 * over two pipes, one line per message (see mainroad_peers.cpp). Each step
 * prints one line: actor, function, status code, what was checked. A
 * failure prints its code and the recent error and ends with status 1.
 *
 * usage: mainroad <mainroad_peers program>
 */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmr/zmr.h>

static FILE *topeers, *frompeers;
static pid_t peers = -1;
static int session = -1;
static char *message; /* the last line from the peers */
static size_t messagesize;

static void step(const char *function, int code, const char *format, ...) {
  va_list args;
  printf("%-9s %-34s %5d  ", "merchant", function, code);
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

static void finish(int status) {
  if (topeers != NULL) {
    fprintf(topeers, "bye\n");
    fclose(topeers);
  }
  if (peers > 0) waitpid(peers, NULL, 0);
  exit(status);
}

/* Releases a result of the library (NULL is nothing to release). zmr_free
 * fails only for a pointer it never handed out: a fault of this program. */
static void release(void *pointer) {
  if (pointer != NULL && zmr_free(pointer) != 0) abort();
}

/* Stops the library on the way out after a failure; the program ends with
 * status 1 whatever stopping reports, so a failure here is only shown. */
static void stop(void) {
  int rc;
  if (session >= 0 && (rc = zmr_closesession(session)) != 0) step("zmr_closesession", rc, "on the way out");
  session = -1;
  if ((rc = zmr_finalize()) != 0) step("zmr_finalize", rc, "on the way out");
}

/* A failed call: its code and the recent error, then the end. */
static void failed(const char *function, int code) {
  char *text = NULL;
  step(function, code, "FAILED; recent error:");
  if (zmr_getrecenterror(session, &text) == 0 && text != NULL) {
    printf("%s", text);
    release(text);
  }
  fflush(stdout);
  stop();
  finish(1);
}

#define CALL(function, args) \
  do {                       \
    int rc_ = function args; \
    if (rc_ != 0) failed(#function, rc_); \
  } while (0)

static void start_peers(const char *program) {
  int to[2], from[2];
  if (pipe(to) != 0 || pipe(from) != 0) exit(2);
  fflush(stdout);
  peers = fork();
  if (peers < 0) exit(2);
  if (peers == 0) {
    /* The peers' report lines share this program's standard output. */
    dup2(STDOUT_FILENO, STDERR_FILENO);
    dup2(to[0], STDIN_FILENO);
    dup2(from[1], STDOUT_FILENO);
    close(to[0]);
    close(to[1]);
    close(from[0]);
    close(from[1]);
    execl(program, program, (char *)NULL);
    perror(program);
    _exit(127);
  }
  close(to[0]);
  close(from[1]);
  topeers = fdopen(to[1], "w");
  frompeers = fdopen(from[0], "r");
  if (topeers == NULL || frompeers == NULL) exit(2);
}

/* The next line from the peers; "fail" from them ends the demo. */
static char *next_message(const char *expected) {
  ssize_t n = getline(&message, &messagesize, frompeers);
  if (n <= 0) {
    step("(peers)", 1, "the peers ended without answering");
    stop();
    finish(1);
  }
  if (message[n - 1] == '\n') message[n - 1] = '\0';
  if (strncmp(message, expected, strlen(expected)) != 0) {
    step("(peers)", 1, "the peers said: %s", message);
    stop();
    finish(1);
  }
  return message + strlen(expected);
}

static void tell(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(topeers, format, args);
  va_end(args);
  fputc('\n', topeers);
  fflush(topeers);
}

static char *item(const char *key) {
  char *value = NULL;
  CALL(zmr_getinfoitem, (session, key, &value));
  return value;
}

/* A client request from the peers: "message <operation> <encKey> <encData> <encAuth>". */
struct request {
  char *operation, *enckey, *encdata, *encauth;
};

static struct request next_request(void) {
  struct request r;
  char *rest = next_message("message ");
  r.operation = strtok(rest, " ");
  r.enckey = strtok(NULL, " ");
  r.encdata = strtok(NULL, " ");
  r.encauth = strtok(NULL, " ");
  if (r.encauth == NULL) {
    step("(peers)", 1, "a message without its three fields");
    stop();
    finish(1);
  }
  return r;
}

/* zmr_initsession for one transaction; its tid becomes the trace id. */
static char *open_client_session(const char *action) {
  char *cdmuri = NULL, *tid = NULL, *cid = NULL;
  CALL(zmr_removeinfoitems, (session));
  CALL(zmr_setinfoitem, (session, "action", action));
  CALL(zmr_setinfoitem, (session, "merchantUrl", "https://shop.example.test/"));
  CALL(zmr_setinfoitem, (session, "merchantFEDomain", "shop.example.test"));
  CALL(zmr_setinfoitem, (session, "useragent", "Mozilla/5.0 (demo)"));
  CALL(zmr_setinfoitem, (session, "clientVersion", "2.1"));
  if (strcmp(action, "sign") == 0) CALL(zmr_setinfoitem, (session, "docDisplayMode", "interior"));
  CALL(zmr_initsession, (session, &cdmuri, &tid, &cid));
  step("zmr_initsession", 0, "action %s: reply opened and nonce matched; tid %s, cid %s", action, tid, cid);
  release(cdmuri);
  release(cid);
  CALL(zmr_removeinfoitems, (session));
  CALL(zmr_setinfoitem, (session, "traceId", tid));
  step("zmr_setinfoitem", 0, "traceId = %s (the tid)", tid);
  return tid;
}

/* zmr_inittransaction on the client's init request; the answer goes back. */
static void init_transaction(void) {
  struct request r = next_request();
  char *answer = NULL;
  CALL(zmr_inittransaction, (session, r.enckey, r.encdata, r.encauth, r.operation, NULL, &answer));
  step("zmr_inittransaction", 0, "%s decrypted, trace id matched, answer signed and encrypted (%zu bytes)",
       r.operation, strlen(answer));
  tell("answer %s", answer);
  release(answer);
}

/* zmr_verifytransactionrequest on the client's verification request. */
static void verify_transaction(const char *checked) {
  struct request r = next_request();
  CALL(zmr_verifytransactionrequest, (session, r.enckey, r.encdata, r.encauth, r.operation, NULL));
  step("zmr_verifytransactionrequest", 0, "%s: %s", r.operation, checked);
}

static void answer_client(void) {
  char *answer = NULL;
  CALL(zmr_verifytransactionresponse, (session, &answer));
  step("zmr_verifytransactionresponse", 0, "status=OK, vaPerf, encrypted under the init key (%zu bytes)",
       strlen(answer));
  tell("answer %s", answer);
  release(answer);
  next_message("done");
  CALL(zmr_removeinfoitems, (session));
  step("zmr_removeinfoitems", 0, "the thread's items and documents removed");
}

static void show_signer(const char *function, const char *pkcs7, const char *what) {
  char *name = NULL, *usage = NULL;
  CALL(zmr_getpkcs7info, (session, pkcs7, ZMR_P7_COMMONNAME, &name));
  CALL(zmr_getpkcs7info, (session, pkcs7, ZMR_P7_KEYUSAGE, &usage));
  step(function, 0, "%s signed by \"%s\" (%s)", what, name, usage);
  release(name);
  release(usage);
}

static void authentication(void) {
  char *tid = open_client_session("auth"), *pkcs7, *ocsp, *vaperf;
  tell("auth %s", tid);
  release(tid);
  init_transaction();
  verify_transaction("user's signature over the server challenge, chain and policy; certificate status good");
  pkcs7 = item("clientPkcs7");
  show_signer("zmr_getpkcs7info", pkcs7, "clientPkcs7");
  ocsp = item("clientOcsp");
  vaperf = item("vaperf");
  step("zmr_getinfoitem", 0, "clientOcsp: the authority's answer (%zu base64 characters); vaperf = %s ms",
       strlen(ocsp), vaperf);
  release(pkcs7);
  release(ocsp);
  release(vaperf);
  answer_client();
}

static char *base64(const char *bytes, size_t length) {
  char *text = NULL;
  CALL(zmr_base64encode, (session, (const unsigned char *)bytes, length, &text));
  return text;
}

static void signing(void) {
  static const char text[] = "Agreement: Ola Nordmann buys one bicycle for 4990.00 NOK.\n";
  static const char pdf[] = "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
  const char *descriptions[2] = {"Purchase agreement", "Terms and conditions (PDF)"};
  char *tid = open_client_session("sign"), *content[2], *description[2], *cpreport;
  int i;
  content[0] = base64(text, sizeof text - 1);
  content[1] = base64(pdf, sizeof pdf - 1);
  CALL(zmr_adddocumenttext, (session, content[0], descriptions[0]));
  CALL(zmr_adddocumentpdf, (session, content[1], descriptions[1]));
  step("zmr_adddocumenttext/pdf", 0, "\"%s\" (%zu bytes), \"%s\" (%zu bytes)", descriptions[0], sizeof text - 1,
       descriptions[1], sizeof pdf - 1);
  description[0] = base64(descriptions[0], strlen(descriptions[0]));
  description[1] = base64(descriptions[1], strlen(descriptions[1]));
  tell("sign %s text:%s:%s pdf:%s:%s", tid, content[0], description[0], content[1], description[1]);
  release(tid);
  for (i = 0; i < 2; ++i) {
    release(content[i]);
    release(description[i]);
  }
  init_transaction();
  verify_transaction("user's signature over each document, chain and policy; certificate status good");
  for (i = 0; i < 2; ++i) {
    char *pkcs7 = NULL, *ocsp = NULL, what[96];
    CALL(zmr_getsignatureandocsp, (session, i, &pkcs7, &ocsp));
    snprintf(what, sizeof what, "document %d and its OCSP answer (%zu characters, good),", i + 1, strlen(ocsp));
    show_signer("zmr_getsignatureandocsp", pkcs7, what);
    release(pkcs7);
    release(ocsp);
  }
  cpreport = item("cpReport");
  step("zmr_getinfoitem", 0, "cpReport = \"%s\" (the client's text, unchecked)", cpreport);
  release(cpreport);
  answer_client();
}

int main(int argc, char **argv) {
  sessionstoreinfo *info = NULL;
  char *files, *keyfile, *password, *properties;
  if (argc != 2) {
    fprintf(stderr, "usage: %s <mainroad_peers program>\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  start_peers(argv[1]);
  files = next_message("files ");
  keyfile = strtok(files, " ");
  password = strtok(NULL, " ");
  properties = strtok(NULL, " ");
  if (properties == NULL) finish(1);

  CALL(zmr_initialize, ());
  step("zmr_initialize", 0, "library started");
  CALL(zmr_opensession, (&session, keyfile, password, properties, NULL, NULL, NULL, NULL, NULL, NULL));
  CALL(zmr_getsessionstoreinfo, (session, &info));
  step("zmr_opensession", 0, "session %d: key file, trust store and properties read; \"%s\", environment %d%s",
       session, info->commonname, info->environment, info->environment == 1 ? " (development)" : "");
  CALL(zmr_freesessionstoreinfo, (session, info));

  authentication();
  signing();

  CALL(zmr_closesession, (session));
  step("zmr_closesession", 0, "session %d closed", session);
  session = -1;
  CALL(zmr_finalize, ());
  step("zmr_finalize", 0, "library stopped");
  free(message);
  finish(0);
  return 0;
}
