// galaxy_generate.cpp: STUB, replaced by the loader work.
int main() { return 0; }
