/* The raw event file of an audit ("<audit file>.raw").
 *
 * Each event is one write on an O_APPEND descriptor, so several processes append to one file
 * without tearing or interleaving records. An event is a text header line followed by the bytes of
 * its pathnames (absolute, exactly as resolved when the event happened, not normalised):
 *
 *   <op> <pid> <arg> <ident> <len1> <len2>\n<path1 bytes><path2 bytes>
 *
 * op     one letter (below); pid decimal; arg hexadecimal;
 * ident  "-" or "<dev>:<ino>:<mode>:<size>:<mtime s>:<mtime ns>" (decimal) of the object;
 *        "-" when it was not taken;
 * len1, len2  byte counts of the two pathnames (len2 is 0 for one-path events).
 *
 * No event is written whose pathnames all lie under /usr, /lib, /lib64, /lib32, /bin, /sbin,
 * /etc, /proc, /sys, /dev, /opt or /run (system places, where the conversion drops them), except
 * the report of an image the interposer cannot enter. Names under the site's view root are never
 * in a system place, wherever the site lies.
 *
 * The creator of the file writes the version event first: its first name is the audit's
 * identifier (VESSARY_ID_LEN hexadecimal digits; a process joins the file only for the audit it
 * was given), its second the length of the audit file when the audit began, in decimal (what
 * the conversion appends to).
 *
 * A record whose header or pathnames are incomplete at the end of the file is a torn record and
 * is ignored. Only successful accesses are recorded. Within one process, file order is program
 * order. The pid of an event other than an exec may be its parent's when a vfork child records
 * it before it execs.
 */
#ifndef VESSARY_VESSARY_RAW_H
#define VESSARY_VESSARY_RAW_H

#define VESSARY_RAW_VERSION 2
#define VESSARY_ID_LEN 32

#define VESSARY_EV_VERSION 'V'  /* arg: format version; path1: identifier, path2: base length */
#define VESSARY_EV_OPEN 'O'     /* arg: open flags, plus VESSARY_OPEN_CREATED; ident after open */
#define VESSARY_EV_STAT 'S'     /* arg: 1 when a final symbolic link was not followed */
#define VESSARY_EV_ACCESS 'A'   /* arg: access mode */
#define VESSARY_EV_READLINK 'L' /* path1: the link; ident: the link itself */
#define VESSARY_EV_OPENDIR 'D'
#define VESSARY_EV_EXEC 'X'
#define VESSARY_EV_RENAME 'R'   /* path1 -> path2; arg: renameat2 flags; ident: the object renamed;
                                 * an exchange follows a no-follow stat of path2 */
#define VESSARY_EV_UNLINK 'U'   /* arg: 1 for a directory; ident: the object before removal */
#define VESSARY_EV_MKDIR 'M'
#define VESSARY_EV_LINK 'K'     /* path1: existing name, path2: new name */
#define VESSARY_EV_SYMLINK 'Y'  /* path1: the new link, path2: its text as given */
#define VESSARY_EV_TRUNCATE 'T' /* arg: the new length (truncate or ftruncate) */
#define VESSARY_EV_MKNOD 'N'    /* a node made (fifo, socket, device); ident: the node */
#define VESSARY_EV_CHDIR 'C'
#define VESSARY_EV_MARKER 'm'   /* arg: marker number */
#define VESSARY_EV_UNSEEN 'W'   /* an exec'd image the interposer cannot enter; arg: reason */

/* Added to the open flags of an open that created the file. */
#define VESSARY_OPEN_CREATED 0x80000000U

/* Reasons of VESSARY_EV_UNSEEN. */
#define VESSARY_UNSEEN_STATIC 1
#define VESSARY_UNSEEN_32BIT 2
#define VESSARY_UNSEEN_SETUID 3

#endif
