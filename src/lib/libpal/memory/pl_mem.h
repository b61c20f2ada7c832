#pragma once
/* The system page size, for page-aligned allocations. */
#include <cstddef>

/* Reads the page size once (4096, with a warning, when the system does not report one). Called by
 * the process set-up; mem_pagesize calls it when nobody did. Returns the page size. */
size_t mem_init();
size_t mem_pagesize();
