/*
 * resource.h - identifiers of the program's resources, shared by corvane.rc
 * and the code that loads them.
 */
#ifndef CORVANE_RESOURCE_H
#define CORVANE_RESOURCE_H

#define IDD_RESTART 1001 /* the restart prompt's dialog template */
#define IDI_CORVANE 8001 /* the prompt's icon group: 32x32 and 16x16, 16 colours */

#endif
