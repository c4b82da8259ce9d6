// main.cpp: STUB, replaced by the app work.
int main() { return 0; }
