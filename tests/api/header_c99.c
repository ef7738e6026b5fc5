/* The public header must compile as plain C99. */
#include <zmr/zmr.h>
int main(void) { return 0; }
