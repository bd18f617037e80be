/* A library an $ORIGIN kernel finds beside itself. */
__attribute__((visibility("default"))) float origin_scale(void)
{
    return 1.0f;
}
