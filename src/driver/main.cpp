// Program entry. The main line lands with the driver.
int main() { return 0; }
