// libcups' PPD interface. It is deprecated upstream in favour of IPP
// destination queries, but a CUPS filter driven by a PPD reads it this way;
// targets that include this header build with deprecation notes off.
#pragma once

#include <cups/cups.h>
#include <cups/ppd.h>
