// galaxy_render.cpp: STUB, replaced by the render work.
int main() { return 0; }
