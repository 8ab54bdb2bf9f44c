#pragma once
// Included first by the reductions whose own candidate lists the structures' walks are
// instantiated for. GCC, inlining the voxel walk into those searches, sees its gap table
// as maybe uninitialised at some optimisation levels; the table is filled before every
// read (whenever the grid is separable), so the warning is silenced for these files.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
