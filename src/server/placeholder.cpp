// Placeholder until the sources land; removed then.
namespace server {}
