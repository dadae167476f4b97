#include "SourceRetirer.h"

#include "CameraSource.h"

namespace cvl::obs {

SourceRetirer& SourceRetirer::Instance() {
    static SourceRetirer retirer;
    return retirer;
}

void SourceRetirer::Retire(CameraSource* source) {
    pthread_mutex_lock(&m_mutex);
    ReapDone();
    m_retiring.emplace_back();
    Retiring& retiring = m_retiring.back();
    retiring.source = source;
    const bool started =
        pthread_create(&retiring.thread, nullptr, &SourceRetirer::Thread, &retiring) == 0;
    if (!started)
        m_retiring.pop_back();
    pthread_mutex_unlock(&m_mutex);
    if (!started)
        delete source;
}

void SourceRetirer::WaitForAll() {
    pthread_mutex_lock(&m_mutex);
    while (!m_retiring.empty()) {
        ReapDone();
        if (!m_retiring.empty())
            pthread_cond_wait(&m_changed, &m_mutex);
    }
    pthread_mutex_unlock(&m_mutex);
}

void SourceRetirer::ReapDone() {
    for (auto it = m_retiring.begin(); it != m_retiring.end();) {
        if (it->done) {
            pthread_join(it->thread, nullptr);
            it = m_retiring.erase(it);
        } else {
            ++it;
        }
    }
}

void* SourceRetirer::Thread(void* data) {
    auto* retiring = static_cast<Retiring*>(data);
    delete retiring->source;
    SourceRetirer& retirer = Instance();
    pthread_mutex_lock(&retirer.m_mutex);
    retiring->done = true;
    pthread_cond_broadcast(&retirer.m_changed);
    pthread_mutex_unlock(&retirer.m_mutex);
    return nullptr;
}

} // namespace cvl::obs
