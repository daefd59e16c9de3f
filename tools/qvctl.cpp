// placeholder until the test helper lands
int main() { return 0; }
