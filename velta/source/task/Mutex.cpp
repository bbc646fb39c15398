#include "velta/source/task/Mutex.h"

Mutex::~Mutex()
{
    pthread_mutex_destroy(&m_mutex);
}
