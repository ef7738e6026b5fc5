/*
 * A C host calling the library from a thread's pthread-key destructors and
 * from an atexit handler, or leaving with a session open and without
 * zmr_finalize (what the library keeps then outlives OpenSSL's own exit
 * clean-up and is never freed at exit). Run by threadexit_test.cpp:
 *
 *   threadexit_host destructors|atexit|leaveopen <keyfile> <password> <properties>
 *
 * Exits 0 when every check held; a sanitizer report or a crash fails the
 * run as well (and so does a leak, under LeakSanitizer).
 */
#define _POSIX_C_SOURCE 200809L
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zmr/zmr.h>

static int session = -1;
static int failures = 0;
static pthread_mutex_t failurelock = PTHREAD_MUTEX_INITIALIZER;

static void fail(const char *where, const char *what) {
  pthread_mutex_lock(&failurelock);
  fprintf(stderr, "%s: %s\n", where, what);
  ++failures;
  pthread_mutex_unlock(&failurelock);
}

static void expect_code(const char *where, int got, int want) {
  char what[64];
  if (got == want) return;
  snprintf(what, sizeof what, "code %d, expected %d", got, want);
  fail(where, what);
}

/* Checks a text the library handed out, then frees it: want NULL means no
 * text; otherwise the text must contain want. */
static void expect_text(const char *where, char *text, const char *want) {
  if (want == NULL && text != NULL) fail(where, "unexpected text");
  if (want != NULL && (text == NULL || strstr(text, want) == NULL)) fail(where, text ? text : "no text");
  if (text != NULL) expect_code(where, zmr_free(text), 0);
}

static const char *const kItemMissing = "getinfoitem_getinfoitem";
static const char *const kSignatureMissing = "Signed data or merchant signature missing";

/* Leaves an unread recent error on the calling thread. */
static void leave_error(const char *where) {
  char *value = NULL;
  expect_code(where, zmr_getinfoitem(session, "absent", &value), 2022);
}

/* What the thread did before it ended, and how often each re-arming
 * destructor ran. The record is the value of the thread's keys. */
struct worker {
  int touched;
  int rounds[2];
  pthread_key_t keys[4];
  int nkeys;
};

/* Keys made before the library made its own (their destructors run before
 * the library's in each round) and after. */
static pthread_key_t early_reader_key, early_rearm_key, late_reader_key, late_rearm_key;

/* Sees what the thread left: its item, its two documents (the getter
 * complains of the missing signature, not of a missing document), its
 * recent error. */
static void read_thread_data(const char *where, const struct worker *w) {
  char *text = NULL, *value = NULL, *signeddata = NULL, *pkcs7 = NULL;
  expect_code(where, zmr_getrecenterror(session, &text), 0);
  expect_text(where, text, w->touched ? kItemMissing : NULL);
  expect_code(where, zmr_getinfoitem(session, "item", &value), w->touched ? 0 : 2022);
  expect_text(where, value, w->touched ? "value" : NULL);
  expect_code(where, zmr_getsigneddata(session, 1, &signeddata, &pkcs7), 2022);
  text = NULL;
  expect_code(where, zmr_getrecenterror(session, &text), 0);
  expect_text(where, text, w->touched ? kSignatureMissing : "No document on requested index");
}

static void early_reader(void *arg) {
  read_thread_data("early key destructor", arg);
  leave_error("early key destructor");
}

/* Runs after the library's own destructor of the same round. */
static void late_reader(void *arg) {
  const struct worker *w = arg;
  char *value = NULL, *text = NULL;
  if (w->touched) {
    expect_code("late key destructor", zmr_getrecenterror(session, &text), 0);
    expect_text("late key destructor", text, kItemMissing);
    expect_code("late key destructor", zmr_getinfoitem(session, "item", &value), 0);
    expect_text("late key destructor", value, "value");
    expect_code("late key destructor", zmr_removeinfoitems(session), 0);
  } else {
    /* The first calls this thread makes: its store is made now. */
    expect_code("late key destructor", zmr_setinfoitem(session, "late", "v"), 0);
    expect_code("late key destructor", zmr_adddocumenttext(session, "text", "late"), 0);
    expect_code("late key destructor", zmr_getinfoitem(session, "late", &value), 0);
    expect_text("late key destructor", value, "v");
  }
  leave_error("late key destructor");
}

/* Sets up its own data in every round it can. In the last round the
 * library's destructor may already have run before it. */
static void rearm(struct worker *w, int which, pthread_key_t key, const char *where) {
  char *value = NULL;
  int rc;
  ++w->rounds[which];
  expect_code(where, zmr_setinfoitem(session, "round", "r"), 0);
  expect_code(where, zmr_adddocumenttext(session, "text", "round"), 0);
  rc = zmr_getinfoitem(session, "round", &value);
  if (rc != 0 && rc != 2022) expect_code(where, rc, 0);
  if (value != NULL) expect_code(where, zmr_free(value), 0);
  leave_error(where);
  if (w->rounds[which] < PTHREAD_DESTRUCTOR_ITERATIONS) pthread_setspecific(key, w);
}

static void early_rearm(void *arg) { rearm(arg, 0, early_rearm_key, "early re-arming destructor"); }
static void late_rearm(void *arg) { rearm(arg, 1, late_rearm_key, "late re-arming destructor"); }

static void *work(void *arg) {
  struct worker *w = arg;
  int i;
  if (w->touched) {
    expect_code("worker", zmr_setinfoitem(session, "item", "value"), 0);
    expect_code("worker", zmr_adddocumenttext(session, "text", "first"), 0);
    expect_code("worker", zmr_adddocumenttext(session, "text", "second"), 0);
    leave_error("worker");
  }
  for (i = 0; i < w->nkeys; ++i) pthread_setspecific(w->keys[i], w);
  return NULL;
}

static int open_session(char **argv) {
  int rc = zmr_initialize();
  if (rc == 0) rc = zmr_opensession(&session, argv[2], argv[3], argv[4], NULL, NULL, NULL, NULL, NULL, NULL);
  if (rc != 0) fprintf(stderr, "start-up failed: %d\n", rc);
  return rc;
}

static int run_destructors(char **argv) {
  enum { kTouched = 6, kWorkers = kTouched + 2 };
  struct worker workers[kWorkers];
  pthread_t threads[kWorkers];
  char *text = NULL;
  int i;
  if (pthread_key_create(&early_reader_key, early_reader) != 0 ||
      pthread_key_create(&early_rearm_key, early_rearm) != 0)
    return 2;
  if (open_session(argv) != 0) return 2;
  expect_code("main", zmr_getrecenterror(session, &text), 0); /* the library has its key by now */
  if (text != NULL) expect_code("main", zmr_free(text), 0);
  if (pthread_key_create(&late_reader_key, late_reader) != 0 ||
      pthread_key_create(&late_rearm_key, late_rearm) != 0)
    return 2;

  memset(workers, 0, sizeof workers);
  for (i = 0; i < kWorkers; ++i) {
    struct worker *w = &workers[i];
    w->touched = i < kTouched;
    if (i < kTouched) {
      w->keys[w->nkeys++] = early_reader_key;
      w->keys[w->nkeys++] = late_reader_key;
      w->keys[w->nkeys++] = early_rearm_key;
      w->keys[w->nkeys++] = late_rearm_key;
    } else {
      /* Threads whose first call comes from a destructor. */
      w->keys[w->nkeys++] = i == kTouched ? early_reader_key : late_reader_key;
    }
  }
  for (i = 0; i < kWorkers; ++i)
    if (pthread_create(&threads[i], NULL, work, &workers[i]) != 0) return 2;
  for (i = 0; i < kWorkers; ++i) pthread_join(threads[i], NULL);
  for (i = 0; i < kTouched; ++i) {
    if (workers[i].rounds[0] != PTHREAD_DESTRUCTOR_ITERATIONS || workers[i].rounds[1] != PTHREAD_DESTRUCTOR_ITERATIONS)
      fail("re-arming destructors", "did not run in every round");
  }
  expect_code("close", zmr_closesession(session), 0);
  expect_code("finalize", zmr_finalize(), 0);
  return failures == 0 ? 0 : 1;
}

/* Runs after main returned: the main thread's data must still be there. */
static void exit_handler(void) {
  struct worker main_thread;
  char *value = NULL, *text = NULL;
  memset(&main_thread, 0, sizeof main_thread);
  main_thread.touched = 1;
  read_thread_data("atexit handler", &main_thread);
  expect_code("atexit handler", zmr_removeinfoitems(session), 0);
  expect_code("atexit handler", zmr_getinfoitem(session, "item", &value), 2022);
  expect_code("atexit handler", zmr_getrecenterror(session, &text), 0);
  expect_text("atexit handler", text, kItemMissing);
  expect_code("atexit handler", zmr_setinfoitem(session, "kept", "v"), 0);
  expect_code("atexit handler", zmr_adddocumenttext(session, "text", "kept"), 0);
  leave_error("atexit handler");
  /* With the session still open and a recent error unread. */
  expect_code("atexit handler", zmr_finalize(), 0);
  expect_code("atexit handler", zmr_getinfoitem(session, "kept", &value), 2009);
  expect_code("atexit handler", zmr_getrecenterror(session, &text), 0);
  if (text != NULL) expect_code("atexit handler", zmr_free(text), 0);
  if (failures != 0) _exit(1);
}

static int run_atexit(char **argv) {
  if (open_session(argv) != 0) return 2;
  expect_code("main", zmr_setinfoitem(session, "item", "value"), 0);
  expect_code("main", zmr_adddocumenttext(session, "text", "first"), 0);
  expect_code("main", zmr_adddocumenttext(session, "text", "second"), 0);
  leave_error("main");
  if (atexit(exit_handler) != 0) return 2;
  return failures == 0 ? 0 : 1;
}

/* Signs with the session and returns from main with it open. */
static int run_leaveopen(char **argv) {
  static const unsigned char data[] = "signed before leaving";
  char *pkcs7 = NULL;
  if (open_session(argv) != 0) return 2;
  expect_code("main", zmr_setinfoitem(session, "item", "value"), 0);
  expect_code("main", zmr_signdata(session, data, sizeof data, &pkcs7), 0);
  if (pkcs7 != NULL) expect_code("main", zmr_free(pkcs7), 0);
  leave_error("main");
  return failures == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s destructors|atexit|leaveopen keyfile password properties\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "destructors") == 0) return run_destructors(argv);
  if (strcmp(argv[1], "atexit") == 0) return run_atexit(argv);
  if (strcmp(argv[1], "leaveopen") == 0) return run_leaveopen(argv);
  return 2;
}
