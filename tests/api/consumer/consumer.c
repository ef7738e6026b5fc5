/* A merchant program built against an installed libzmr. */
#include <stdio.h>
#include <zmr/zmr.h>

int main(void) {
  char *version = NULL;
  if (zmr_getversioninfo(&version) != 0) return 1;
  printf("%s\n", version);
  return zmr_free(version) != 0;
}
