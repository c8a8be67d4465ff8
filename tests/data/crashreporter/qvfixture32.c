/* A 32-bit fixture for the call-frame information reader: functions with and without frames,
   one that saves registers, and one with a variable-length array (frame pointer based CFA). */
int qv32_leaf(int x) { return x * 3 + 1; }
int qv32_saves(int x) { int a[8]; for (int i = 0; i < 8; i++) a[i] = qv32_leaf(x + i); return a[x & 7] + a[(x + 3) & 7]; }
int qv32_vla(int n) { int v[n]; for (int i = 0; i < n; i++) v[i] = qv32_saves(i); return v[n / 2]; }
int qv32_pic(int x) { static int counter; counter += qv32_vla(x & 15); return counter; }
