// Resource IDs shared by qxflash.rc.in and the windows. Included by windres
// too, so plain preprocessor definitions only.
#pragma once

// The program's picture: the executable's icon, the windows' icons and Image1.
#define QX_ICON_APP 1
