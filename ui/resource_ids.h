#pragma once
// Resource identifiers, shared by the resource script and the code.

#define IDI_KEYSCOUR 1
#define IDB_BACKGROUND 101
#define IDC_HAND_POINTER 102
