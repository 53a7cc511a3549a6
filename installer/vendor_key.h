// The maker's registry key HKEY_LOCAL_MACHINE\SOFTWARE\Morlune, parent of the server's
// settings key. Made sure of before the first step; no step: it is never rolled back,
// since the maker's other products and earlier installations share it.
#pragma once

// Creates the key, or gives an existing one the access list of HKEY_LOCAL_MACHINE\SOFTWARE
// (Windows NT family). A failure asks, warns or aborts with SilentExit 106.
void CreateVendorRegistryKey();
