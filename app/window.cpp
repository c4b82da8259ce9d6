// window.cpp: STUB, replaced by the app work.
