#include <cstdio>
int main()
{
  fprintf(stderr, "error: not built yet\n");
  return 1;
}
