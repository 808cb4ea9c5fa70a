// Declarations mirroring <objc/objc.h>. BOOL is the arm64 one (bool); x86_64 Macs use signed char.
#pragma once

typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no
#define nil nullptr
#define Nil nullptr
