// The platform seam bound to the real Windows functions (shipped DLL).
