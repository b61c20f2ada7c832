#pragma once
/* A pseudo-terminal in raw mode ("\n" is not turned into "\r\n": the bytes read on the master are
 * the bytes written on the slave), for tests of what a program does on a terminal. */

/* Opens a pair; 0 with both descriptors (close-on-exec), or -1 with errno and nothing open. */
int open_raw_pty(int *master, int *slave);
